// Scaffolding for the file utility tests: scratch directories, scoped
// environment and working-directory changes, and the trace messages the
// utilities emit, routed to standard error and captured.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/capture.h"
#include "trace/trace.h"
#include "util/getcwd.h"

namespace filetest {

namespace fs = std::filesystem;

struct scratch_dir {
    std::string path = fs::temp_directory_path() / "tavrin-file-XXXXXX";
    scratch_dir()
    {
        if (!mkdtemp(path.data()))
            throw std::runtime_error("mkdtemp failed");
    }
    ~scratch_dir() { std::error_code ignored; fs::remove_all(path, ignored); }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

// Sets (or, with null, unsets) a variable for the scope.
struct scoped_env {
    std::string name;
    std::optional<std::string> saved;
    scoped_env(const char *variable, const char *value) : name(variable)
    {
        if (const char *old = std::getenv(variable))
            saved = old;
        value ? setenv(variable, value, 1) : unsetenv(variable);
    }
    ~scoped_env() { saved ? setenv(name.c_str(), saved->c_str(), 1) : unsetenv(name.c_str()); }
};

// Points the working directory (when dir exists) and the working-directory
// cache at dir for the scope.
struct scoped_cwd {
    std::string saved = fs::current_path().string();
    explicit scoped_cwd(const std::string &dir)
    {
        if (fs::is_directory(dir) && chdir(dir.c_str()) != 0)
            throw std::runtime_error("chdir failed");
        set_cache(strdup(dir.c_str()));
    }
    ~scoped_cwd()
    {
        if (chdir(saved.c_str()) != 0)
            std::abort();
        set_cache(nullptr);
    }
    static void set_cache(char *text) { std::free(cwd_cache.text); cwd_cache.text = text; }
};

inline void write_file(const std::string &path, const std::string &contents, mode_t mode = 0644)
{
    std::ofstream(path, std::ios::binary) << contents;
    chmod(path.c_str(), mode);
}

inline std::string read_file(const std::string &path)
{
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

inline mode_t mode_of(const std::string &path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// Turns the trace "filetests" on, to standard error, once per process.
inline bool route_traces()
{
    static bool routed = [] {
        static scratch_dir config;
        write_file(config / "TRACES", "filetests on stderr\n");
        scoped_env no_home("TAVRINHOME", nullptr);
        return trace_init(config.path.c_str(), config.path.c_str()) == 1 && open_trace_file("filetests") == 1;
    }();
    return routed;
}

// The trace messages written while body runs, time stamps ("hh:mm:ss ")
// removed. Traces are muted outside.
template <class F>
std::string traced(F &&body)
{
    EXPECT_TRUE(route_traces());
    trace_set_enabled(1);
    std::string err = testsupport::capture_output(std::forward<F>(body)).err;
    trace_set_enabled(0);
    std::string messages;
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);)
        messages += (line.size() > 9 && line[2] == ':' && line[5] == ':' ? line.substr(9) : line) + "\n";
    return messages;
}

}  // namespace filetest
