// Runs the real kivo-run binary from a test: arguments as one space-separated line where "@name"
// stands for a file of the test's folder, stdout and stderr captured.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace kivo::test {

struct RunResult {
    int status = -1;  // the exit status, or -1 when ended by a signal
    std::string out, err;
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
};

class KivoRunTest : public TempDirTest {
  protected:
    // The command line for the arguments, quoted for the shell (the test folder's name holds no
    // quote).
    std::string Command(const std::string& line) const {
        std::string command = "'" KIVO_RUN "'", arg;
        for (std::istringstream in(line); in >> arg;) {
            command.append(" '").append(arg[0] == '@' ? Path(arg.substr(1)) : arg).append("'");
        }
        return command;
    }
    // Runs kivo-run; `stdout_to` replaces the captured stdout (a shell redirection target such as
    // "/dev/full", or "| cat > file" for a pipe). A run that takes more than a minute is killed:
    // a hang is a failure, not a stuck test.
    RunResult Run(const std::string& line, const std::string& stdout_to = "") const {
        const std::string out = "stdout.txt", err = "stderr.txt";
        std::string command = "timeout -s KILL 60 " + Command(line);
        command.append(" 2>'").append(Path(err)).append("' </dev/null");
        if (stdout_to.empty()) {
            command.append(" >'").append(Path(out)).append("'");
        } else if (stdout_to[0] == '|') {
            command = "set -o pipefail; " + command + " " + stdout_to;
            command = "bash -c \"" + command + "\"";
        } else {
            command.append(" >").append(stdout_to);
        }
        const int raw = std::system(command.c_str());
        RunResult r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadText(out), ReadText(err)};
        std::filesystem::remove(Path(out));
        std::filesystem::remove(Path(err));
        return r;
    }
};

}  // namespace kivo::test
