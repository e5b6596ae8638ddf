#include "tvlib/ipc/security.h"

#include <sddl.h>

// Specific rights rather than generic ones: the objects keep them as written,
// so what is read back from them is what was meant. SECTION_ALL_ACCESS;
// READ_CONTROL | SECTION_QUERY | SECTION_MAP_READ.
const char kProcessRecordSddl[] = "D:P(A;;0xf001f;;;SY)(A;;0xf001f;;;BA)(A;;0x20005;;;AU)";
// MUTEX_ALL_ACCESS; READ_CONTROL | MUTANT_QUERY_STATE | SYNCHRONIZE.
const char kInstanceMutexSddl[] = "D:P(A;;0x1f0001;;;SY)(A;;0x1f0001;;;BA)(A;;0x120001;;;AU)";

namespace {

PSECURITY_DESCRIPTOR ConvertSddl(const char* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr))
    return nullptr;
  return descriptor;
}

}  // namespace

PSECURITY_DESCRIPTOR BuildProcessRecordSecurityDescriptor() { return ConvertSddl(kProcessRecordSddl); }

PSECURITY_DESCRIPTOR BuildInstanceMutexSecurityDescriptor() { return ConvertSddl(kInstanceMutexSddl); }
