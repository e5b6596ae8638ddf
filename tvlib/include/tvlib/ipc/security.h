// The security descriptor of the shared memory blocks and their mutexes:
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

// The single-instance objects, whose content decides which process a --kill
// terminates: only SYSTEM and administrators may change them. The process-id
// record: authenticated users may read it. The single-instance and locker
// mutexes: authenticated users may read and wait on them, so that a second
// instance started by any account still sees the running one.
extern const char kProcessRecordSddl[];
extern const char kInstanceMutexSddl[];

// Conversions as BuildRestrictedSecurityDescriptor: null on failure, the
// caller frees the result with LocalFree.
PSECURITY_DESCRIPTOR BuildProcessRecordSecurityDescriptor();
PSECURITY_DESCRIPTOR BuildInstanceMutexSecurityDescriptor();

// The control pipe's own descriptor: SYSTEM and administrators have all
// access; authenticated users may read and write, which is what a client
// program asks for when it opens the pipe with GENERIC_READ | GENERIC_WRITE,
// and nothing more (no WRITE_DAC, no WRITE_OWNER). Not inherited.
extern const char kPipeSddl[];

// Converts kPipeSddl (SDDL revision 1). Null when the conversion fails (the
// thread's last error says why): the caller must then not create the pipe,
// whose default security would let others in. Freed with LocalFree.
PSECURITY_DESCRIPTOR BuildPipeSecurityDescriptor();
