// Stands in for llama-completion in tests: it does what a script tells it,
// one command a line, so that a test gets exactly the output, pauses, signals
// and exit it needs. The script is the text of FAKE_LLAMA_SCRIPT_TEXT. Each
// run appends {"args":[...],"prompt":<text of the file after -f, or null>} as
// one line to the file FAKE_LLAMA_RECORD names.
//
// Script lines (empty ones are skipped):
//   [run] / [version]  the following lines run for a generation (the default)
//                      or when argv[1] is --version; without a [version]
//                      section --version prints a version text and exits 0
//   out|err <text>     one write of <text> (with \n and \xHH) to standard output or error
//   bulk out|err <n>   n bytes, byte i being i % 251, in writes of 4096
//   sleep <ms>, exit <code>, ignore-sigterm, hang (until killed)
//   signal <n>         dies of signal n (its default action is restored)
//   await <path>       waits until the file exists (at most 30 seconds)
//   echo-stdin         copies standard input to standard output until EOF
//   cwd, env <NAME>, fds, prompt   write the working directory, the variable's
//                      value (or "(unset)"), the open descriptors (each a
//                      line), the prompt file's content
// A write that fails ends the program with status 98.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::string g_promptPath;

void writeAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            ::_exit(98);
        done += size_t(n);
    }
}

bool readFile(const std::string &path, std::string &out)
{
    std::ifstream in(path, std::ios::binary);
    out.assign(std::istreambuf_iterator<char>(in), {});
    return bool(in);
}

std::string unescape(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
        } else if (text[++i] == 'n') {
            out += '\n';
        } else if (text[i] == 'x' && i + 2 < text.size()) {
            out += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string jsonString(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, c == '"' || c == '\\' || c < 0x20 ? "\\u%04x" : "%c", c);
        out += escaped;
    }
    return out + "\"";
}

void record(const char *path, int argc, char **argv)
{
    std::string line = "{\"args\":[";
    for (int i = 1; i < argc; ++i)
        line += (i > 1 ? "," : "") + jsonString(argv[i]);
    std::string prompt;
    line += "],\"prompt\":" + (!g_promptPath.empty() && readFile(g_promptPath, prompt) ? jsonString(prompt) : "null");
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    writeAll(fd, line + "}\n"); // one write: whole lines even when runs overlap
    ::close(fd);
}

std::vector<std::string> scriptLines()
{
    const char *text = std::getenv("FAKE_LLAMA_SCRIPT_TEXT");
    std::vector<std::string> lines;
    std::istringstream in(text ? text : "");
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

void writeBulk(int fd, long long count)
{
    std::string chunk;
    for (long long i = 0; i < count;) {
        chunk.clear();
        for (int j = 0; j < 4096 && i < count; ++j, ++i)
            chunk += char(i % 251);
        writeAll(fd, chunk);
    }
}

void listDescriptors()
{
    DIR *dir = ::opendir("/proc/self/fd");
    std::string out;
    while (const dirent *entry = dir ? ::readdir(dir) : nullptr) {
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != ::dirfd(dir))
            out += (out.empty() ? "" : " ") + std::string(entry->d_name);
    }
    if (dir)
        ::closedir(dir);
    writeAll(1, out + "\n");
}

// Runs one command; returns false for an unknown one.
bool execute(const std::string &command, const std::string &rest)
{
    if (command == "out" || command == "err") {
        writeAll(command == "out" ? 1 : 2, unescape(rest));
    } else if (command == "bulk") {
        writeBulk(rest.compare(0, 3, "err") == 0 ? 2 : 1, std::atoll(rest.c_str() + std::min<size_t>(4, rest.size())));
    } else if (command == "sleep") {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(rest.c_str())));
    } else if (command == "await") {
        for (int waited = 0; waited < 30000 && ::access(rest.c_str(), F_OK) != 0; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } else if (command == "exit") {
        ::_exit(std::atoi(rest.c_str()));
    } else if (command == "signal") {
        const int sig = std::atoi(rest.c_str());
        std::signal(sig, SIG_DFL);
        std::raise(sig);
        ::_exit(95); // the signal did not end us
    } else if (command == "ignore-sigterm") {
        std::signal(SIGTERM, SIG_IGN);
    } else if (command == "hang") {
        for (;;)
            ::pause();
    } else if (command == "echo-stdin") {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(0, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
            writeAll(1, std::string(buffer, size_t(std::max<ssize_t>(n, 0))));
    } else if (command == "cwd") {
        char cwd[4096];
        writeAll(1, std::string(::getcwd(cwd, sizeof cwd) ? cwd : "?") + "\n");
    } else if (command == "env") {
        const char *value = std::getenv(rest.c_str());
        writeAll(1, std::string(value ? value : "(unset)") + "\n");
    } else if (command == "fds") {
        listDescriptors();
    } else if (command == "prompt") {
        std::string prompt;
        if (!g_promptPath.empty() && readFile(g_promptPath, prompt))
            writeAll(1, prompt);
    } else {
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "-f") == 0)
            g_promptPath = argv[i + 1];
    if (const char *path = std::getenv("FAKE_LLAMA_RECORD"); path && *path)
        record(path, argc, argv);

    const bool versionRun = argc > 1 && std::strcmp(argv[1], "--version") == 0;
    const std::vector<std::string> lines = scriptLines();
    if (versionRun && std::find(lines.begin(), lines.end(), "[version]") == lines.end()) {
        writeAll(2, "version: 0 (fake)\nbuilt with fake toolchain for testing\n");
        return 0;
    }

    std::string section = "[run]";
    for (const std::string &line : lines) {
        if (line == "[run]" || line == "[version]")
            section = line;
        if (line.empty() || line == section || (section == "[version]") != versionRun)
            continue;
        const auto space = line.find(' ');
        const std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
        if (!execute(line.substr(0, space), rest)) {
            std::fprintf(stderr, "fake_llama_completion: unknown command: %s\n", line.c_str());
            return 2;
        }
    }
    return 0;
}
