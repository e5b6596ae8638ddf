// Pieces of the service-account test that the tests reach directly: the group
// rule over a made-up list, and the cached answer, which the tests preset to
// run the logon road on a machine where the process is never a service.
#pragma once

#include "tvlib/win.h"

namespace service_account {

// The rule over a token's groups, in token order: the first interactive group
// gives false, the first service or local-system group true; neither gives
// true. False when the three reference SIDs cannot be built.
bool GroupsMeanService(const SID_AND_ATTRIBUTES* groups, DWORD count);

struct Cache {
  bool computed;
  bool answer;
};
Cache GetCache();
// Test use only: a computed answer takes effect on the next IsServiceAccount;
// {false, ...} makes it compute again.
void SetCache(Cache cache);

}  // namespace service_account
