// The one security descriptor of the service's named objects (shared memory
// blocks and their mutexes, the single-instance and process-id objects):
// guests and anonymous logons are denied everything, authenticated users may
// read, write and execute, administrators have all access; inherited by
// objects and containers.
#pragma once

#include "tvlib/win.h"

extern const char kRestrictedObjectSddl[];

// Converts kRestrictedObjectSddl (SDDL revision 1). Null when the conversion
// fails, silently: the caller then creates its objects with the default
// security of the process. The caller owns the result and frees it with
// LocalFree.
PSECURITY_DESCRIPTOR BuildRestrictedSecurityDescriptor();
