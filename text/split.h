// Splitting a text into tokens and trimming characters from both ends.
#ifndef TEXT_SPLIT_H
#define TEXT_SPLIT_H

#include "text/cstring.h"
#include "text/list.h"

// Replaces the contents of `tokens` with the tokens of `source` cut at
// `delimiter` (at least one unit). In any-character mode each unit of the
// delimiter is a delimiter by itself; otherwise the whole text is one delimiter.
// With `trim`, each token is trimmed of white space and empty tokens are left
// out. A delimiter at the very end opens no further token. `source` must not be
// one of the list's tokens.
void SplitString(const CString& source, LPCWSTR delimiter, List<CString>& tokens,
                 bool any_character, bool trim);

// Removes from both ends of `text`, in place, every character that belongs to
// `characters`; with null or an empty set, every white-space character.
void Trim(CString& text, LPCWSTR characters = nullptr);

#endif  // TEXT_SPLIT_H
