// What the shared POSIX calls of the helper leave to each system, and what the systems' own
// sources share: the extra spawn settings, the receive timeout's field types, the socket check.
#pragma once

#include <spawn.h>
#include <sys/stat.h>

#include <chrono>

#include "platform/helper_system.hpp"

namespace zelk::helper::sys {

// Added after standard output and error are opened on the null device: how the system keeps
// the helper's other descriptors out of the tool.
void addSpawnFileActions(posix_spawn_file_actions_t& actions);
short extraSpawnFlags();
char** spawnEnvironment();

// Whether lstat's or fstat's `st` is the socket `bound`.
bool isBoundSocket(const struct stat& st, const SocketFile& bound);

// SO_RCVTIMEO with the system's timeval field types.
void setRecvTimeout(int conn, std::chrono::milliseconds timeout);

}  // namespace zelk::helper::sys
