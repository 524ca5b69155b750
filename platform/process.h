#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace vsc {

// What one descriptor of a child process is made of.
struct ChildDescriptor {
    enum class Kind { NullForReading, NullForWriting, Inherit };
    int target = 0;  // the descriptor number in the child
    Kind kind = Kind::Inherit;
    int source = -1;  // our descriptor, for Inherit
};

struct SpawnRequest {
    std::string path;               // program path, also argv[0]
    std::vector<std::string> args;  // arguments after argv[0]
    std::vector<ChildDescriptor> descriptors;
    // Restore default handling of SIGHUP, SIGINT, SIGPIPE and SIGTERM and start
    // with an empty signal mask.
    bool defaultSignals = true;
    // Start the child in a session of its own, away from our terminal and
    // process group.
    bool newSession = false;
};

struct SpawnResult {
    pid_t pid = 0;  // > 0 on success
    int error = 0;  // posix_spawn's result code on failure
};

// Spawns a program with exactly the descriptors asked for: every descriptor
// above the highest target is closed in the child, so nothing of ours leaks.
SpawnResult spawnProcess(const SpawnRequest& request);

// A pipe whose two ends are close-on-exec. Returns false (errno set) on failure.
struct Pipe {
    int readEnd = -1;
    int writeEnd = -1;
};
bool makePipe(Pipe& pipe);

void closeDescriptor(int& fd);

// Waits for a child, retrying while interrupted; returns the raw wait status.
int waitForChild(pid_t pid);

bool isExecutableFile(const std::string& path);

// The folder holding this program's bundled resources:
// <folder of the executable>/../share/vendaroscope-virtualcam.
std::string resourcesDirectory();

// This program's own path, and a helper program of ours: the one beside this
// program, else the installed one under ../libexec/vendaroscope-virtualcam.
std::string executablePath();
std::string helperProgram(const std::string& name);

}  // namespace vsc
