// Whether a file or folder can only have been written by the machine's
// administrators: what a service that runs as LocalSystem may take its
// configuration and its code from.
//
// Trusted means: owned by SYSTEM, Administrators or TrustedInstaller, and no
// ACE of the DACL (inherited ones included; inherit-only ones do not apply to
// the object itself) allows any other account to write, append, delete, or
// change the security (WRITE_DAC, WRITE_OWNER). Deny ACEs are not credited:
// the rule only asks whether anything grants those rights.
//
// Stateless free functions; any thread may call them. Nothing here logs.
#pragma once

#include <string>

#include "tvlib/win.h"

enum ETrustVerdict {
  eTRUST_OK = 0,
  eTRUST_OWNER,        // owned by another account
  eTRUST_NO_DACL,      // a null DACL grants every account every right
  eTRUST_WRITABLE,     // an ACE grants another account one of the rights above
  eTRUST_UNKNOWN_ACE,  // an allowing ACE of a kind the rule cannot read
  eTRUST_UNREADABLE,   // the system could not report the owner or the DACL
};

struct CTrustDecision {
  ETrustVerdict verdict = eTRUST_OK;
  // Empty when trusted; otherwise why not, naming the account (as a SID
  // text) and the rights, e.g. "grants S-1-5-11 write access (0x00120116)".
  std::string reason;
  bool IsTrusted() const { return verdict == eTRUST_OK; }
};

// The rule itself, on an owner (null: no owner) and a DACL (null: none).
CTrustDecision DecideTrust(PSID owner, const ACL* dacl);

// The rule on the owner and DACL that the system reports for a path.
CTrustDecision DecideTrustOfPath(const std::string& path);

// The rule on a file and on the folder that holds it (a relative path is
// taken from the current directory); the reason says which of the two failed
// and names it.
CTrustDecision DecideTrustOfFile(const std::string& path);

// True when the rule applies to this process: in a service run (the service
// dispatcher runs in this process) or under a service account
// (IsServiceAccount). An operator's console run never applies it.
bool IsTrustRequired();

// A folder under this descriptor is trusted: owned by Administrators,
// protected from its parent's ACEs, SYSTEM and Administrators full access,
// Users read and execute, all of it inherited by files and folders inside.
extern const char kTrustedFolderSddl[];

// Creates `path` (its parent must exist) under kTrustedFolderSddl. False when
// it cannot be created, an existing folder included (ERROR_ALREADY_EXISTS);
// the system error is left in GetLastError().
bool CreateTrustedDirectory(const std::string& path);
