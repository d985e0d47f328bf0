// A broken run record, for the kit's proof that its checks catch the fault:
// the program's own record, except that its lines are stamped with the local
// time instead of UTC. Linked ahead of the library, it takes the place of
// setup/record.cc.
#include "platform/platform.h"
#include "setup/record.h"

#define GetSystemTime GetLocalTime
#include "setup/record.cc"
