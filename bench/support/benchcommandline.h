#pragma once
// Shared by the benchmark programs: usage and argument errors, and a clean end on SIGINT/SIGTERM.
//
// On SIGINT or SIGTERM a watcher thread stops the child processes registered with
// watchProcess() (the nginx servers, measured runs), removes the paths registered with
// removeOnInterrupt() and ends the program with 128 + the signal number (130, 143). The signal
// handler only writes the signal number into a pipe, so nothing but the watcher touches state.
// Handlers, unlike a blocked signal mask, are not inherited by the programs a benchmark starts.

#include <QFile>
#include <QString>

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace benchcli {

struct TCleanupState {
    std::recursive_mutex mutex;
    std::set<pid_t> processes;
    std::set<std::string> paths;
    int pipe[2] = {-1, -1};
};

inline TCleanupState& cleanupState() {
    static TCleanupState state;
    return state;
}

// Prints the usage text on stdout and ends with 0.
[[noreturn]] inline void printUsage(const char* usage) {
    std::fputs(usage, stdout);
    std::fflush(stdout);
    std::exit(0);
}

// Names the offending argument and the usage on stderr and ends with 2.
[[noreturn]] inline void usageError(const char* program, const QString& message, const char* usage) {
    std::fprintf(stderr, "%s: %s\n%s", program, qPrintable(message), usage);
    std::exit(2);
}

// Holds the clean-up back while alive: start a child and register it under this lock, so that an
// interruption cannot fall between the two and leave the child running.
inline std::unique_lock<std::recursive_mutex> holdInterruptions() {
    return std::unique_lock<std::recursive_mutex>(cleanupState().mutex);
}

inline void watchProcess(qint64 pid) {
    if (pid > 0) {
        std::lock_guard<std::recursive_mutex> lock(cleanupState().mutex);
        cleanupState().processes.insert(static_cast<pid_t>(pid));
    }
}

inline void forgetProcess(qint64 pid) {
    std::lock_guard<std::recursive_mutex> lock(cleanupState().mutex);
    cleanupState().processes.erase(static_cast<pid_t>(pid));
}

inline void removeOnInterrupt(const QString& path) {
    std::lock_guard<std::recursive_mutex> lock(cleanupState().mutex);
    cleanupState().paths.insert(QFile::encodeName(path).toStdString());
}

inline void forgetPath(const QString& path) {
    std::lock_guard<std::recursive_mutex> lock(cleanupState().mutex);
    cleanupState().paths.erase(QFile::encodeName(path).toStdString());
}

namespace detail {

inline void onSignal(int signal) {
    const unsigned char number = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = write(cleanupState().pipe[1], &number, 1);
}

// True once the process is gone (reaped here or elsewhere).
inline bool processGone(pid_t pid) {
    int status = 0;
    const pid_t result = waitpid(pid, &status, WNOHANG);
    return result == pid || result < 0 || kill(pid, 0) != 0;
}

[[noreturn]] inline void cleanUpAndExit(int signal) {
    TCleanupState& state = cleanupState();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    std::fprintf(stderr, "\ninterrupted (%s), cleaning up\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
    for (pid_t pid : state.processes) {
        kill(pid, SIGTERM);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (pid_t pid : state.processes) {
        while (!processGone(pid) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!processGone(pid)) {
            kill(pid, SIGKILL);
        }
    }
    // The main thread keeps running meanwhile and may still create files; remove until the
    // paths stay away.
    for (int attempt = 0; attempt < 20; ++attempt) {
        bool left = false;
        for (const std::string& path : state.paths) {
            std::error_code error;
            std::filesystem::remove_all(path, error);
            left = left || std::filesystem::exists(path, error);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (const std::string& path : state.paths) {
            std::error_code error;
            left = left || std::filesystem::exists(path, error);
        }
        if (!left) {
            break;
        }
    }
    std::fflush(stdout);
    _exit(128 + signal);
}

} // namespace detail

// Installs the SIGINT/SIGTERM handling; call once at the start of main, before any child runs.
inline void handleInterruptions() {
    TCleanupState& state = cleanupState();
    if (::pipe(state.pipe) != 0) {
        return;
    }
    std::thread([] {
        unsigned char number = 0;
        while (read(cleanupState().pipe[0], &number, 1) != 1) {
        }
        detail::cleanUpAndExit(number);
    }).detach();
    struct sigaction action {};
    action.sa_handler = detail::onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace benchcli
