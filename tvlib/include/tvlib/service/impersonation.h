// Whether the process runs under a local service account, and a guard that
// gives the calling thread network credentials for as long as it is active.
//
// A service under a local account has no user's network identity, so it
// cannot open paths on other machines; CImpersonation logs on with given
// credentials (or as the network service) and impersonates that logon.
// Nothing here logs: failures come back as false, with the system's text in
// GetLastErrorText().
#pragma once

#include <string>

#include "tvlib/win.h"

// True when the process token lists the service or the local-system group
// before the interactive one, or none of the three. Computed on the first call
// and cached for the life of the process; any failure on the way gives false.
// Any thread may call it.
bool IsServiceAccount();

// Belongs to one thread: created, begun and ended on the thread it
// impersonates for. Holds at most one logon token.
class CImpersonation {
 public:
  CImpersonation();
  ~CImpersonation();
  CImpersonation(const CImpersonation&) = delete;
  CImpersonation& operator=(const CImpersonation&) = delete;

  // Outside a service account: true at once, nothing happens (the process
  // already has its user's network identity). Otherwise logs on as `user`
  // with `password` for outgoing network use, or as the network service
  // ("NT AUTHORITY", "NetworkService") when user is null or empty, and
  // impersonates the logon.
  // False on a failure; a token obtained before a failed impersonation stays
  // held until End. A Begin on an active guard ends the earlier one first.
  bool Begin(const char* user, const char* password);
  // Reverts an impersonation in force and closes the token. False only when
  // closing the token fails; the token is gone afterwards in every case.
  bool End();

  bool IsImpersonating() const { return m_bImpersonating; }
  HANDLE GetToken() const { return m_hToken; }
  const std::string& GetLastErrorText() const { return m_strLastError; }

 private:
  void KeepLastError();

  bool m_bImpersonating;
  HANDLE m_hToken;  // null when none is held
  std::string m_strLastError;
};
