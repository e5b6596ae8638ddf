#include "tvlib/ipc/security.h"

#include <sddl.h>

const char kRestrictedObjectSddl[] = "D:(D;OICI;GA;;;BG)(D;OICI;GA;;;AN)(A;OICI;GRGWGX;;;AU)(A;OICI;GA;;;BA)";

PSECURITY_DESCRIPTOR BuildRestrictedSecurityDescriptor() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(kRestrictedObjectSddl, SDDL_REVISION_1,
                                                              &descriptor, nullptr))
    return nullptr;
  return descriptor;
}

const char kPipeSddl[] = "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FRFW;;;AU)";

PSECURITY_DESCRIPTOR BuildPipeSecurityDescriptor() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(kPipeSddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
    return nullptr;
  return descriptor;
}
