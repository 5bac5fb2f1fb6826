// A tool installed set-user-ID or set-group-ID would lend its owner's rights to every user who
// runs it: the program `vorlex-sim run` starts would run as root, --log would truncate any
// file. The tools refuse to run so.
#pragma once

#include <unistd.h>

#include <cstdio>

namespace vorlex::command_line {

// Exits 3, saying why, unless the real, effective and saved user and group ids agree.
inline void RefuseBorrowedPrivileges(const char* tool) {
  uid_t real_uid = 0, effective_uid = 0, saved_uid = 0;
  gid_t real_gid = 0, effective_gid = 0, saved_gid = 0;
  if (::getresuid(&real_uid, &effective_uid, &saved_uid) == 0 &&
      ::getresgid(&real_gid, &effective_gid, &saved_gid) == 0 && real_uid == effective_uid &&
      real_uid == saved_uid && real_gid == effective_gid && real_gid == saved_gid) {
    return;
  }
  std::fprintf(stderr,
               "%s: refusing to run with borrowed privileges (user ids real %u, effective %u; "
               "group ids real %u, effective %u): installed set-user-ID or set-group-ID, it "
               "would lend them to every user. Install it without the setuid and setgid bits "
               "(chmod u-s,g-s).\n",
               tool, static_cast<unsigned>(real_uid), static_cast<unsigned>(effective_uid),
               static_cast<unsigned>(real_gid), static_cast<unsigned>(effective_gid));
  ::_exit(3);  // nothing to flush yet; no exit handler runs with borrowed rights
}

}  // namespace vorlex::command_line
