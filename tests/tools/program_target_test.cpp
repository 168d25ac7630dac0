// The build target that run.sh builds: every executable in the program folder is part of it,
// so a program folder made by run.sh is complete.
#include <dirent.h>
#include <sys/stat.h>

#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace kv::test {
namespace {

TEST(ProgramTarget, HoldsEveryExecutableOfTheProgramFolder) {
    const std::string program_dir = ProgramDir();
    const std::string build_dir = program_dir + "../";
    struct stat st;
    if (::stat((build_dir + "build.ninja").c_str(), &st) != 0) {
        GTEST_SKIP() << "not a Ninja build";
    }
    CommandResult query =
        RunCommand({"/bin/sh", "-c", "exec ninja -C \"$0\" -t query program", build_dir});
    ASSERT_EQ(query.exit_code, 0) << query.err;
    std::set<std::string> inputs;
    std::istringstream lines(query.out);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t start = line.find_first_not_of(' ');
        if (start != std::string::npos) inputs.insert(line.substr(start));
    }

    DIR* dir = ::opendir(program_dir.c_str());
    ASSERT_NE(dir, nullptr);
    int executables = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (::stat((program_dir + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            (st.st_mode & S_IXUSR) == 0) {
            continue;
        }
        ++executables;
        EXPECT_EQ(inputs.count("kestravo/" + name), 1u) << name << " is not built by 'program'";
    }
    ::closedir(dir);
    EXPECT_GT(executables, 0);
}

}  // namespace
}  // namespace kv::test
