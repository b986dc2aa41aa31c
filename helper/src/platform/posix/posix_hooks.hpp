// What the shared POSIX calls of the helper leave to each system: the extra spawn settings and
// the receive timeout's field types.
#pragma once

#include <spawn.h>

#include <chrono>

namespace zelk::helper::sys {

// Added after standard output and error are opened on the null device: how the system keeps
// the helper's other descriptors out of the tool.
void addSpawnFileActions(posix_spawn_file_actions_t& actions);
short extraSpawnFlags();
char** spawnEnvironment();

// SO_RCVTIMEO with the system's timeval field types.
void setRecvTimeout(int conn, std::chrono::milliseconds timeout);

}  // namespace zelk::helper::sys
