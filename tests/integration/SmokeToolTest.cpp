// orlune-smoke, the README's main job, run as a user runs it.

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace
{
struct RunResult
{
    int exitCode = -1;
    std::string output;
};

RunResult runSmokeTool(const std::string& bundleArgument)
{
    const auto command = "'" + orlune::test::smokeToolPath() + "' '" + bundleArgument + "' 2>&1";
    RunResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return result;

    char chunk[4096];
    while (const auto read = std::fread(chunk, 1, sizeof(chunk), pipe))
        result.output.append(chunk, read);

    const int status = pclose(pipe);
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    return result;
}

TEST(SmokeTool, PrintsTheIdentityAndPassesTheBuiltBundle)
{
    const auto run = runSmokeTool(orlune::test::bundlePath());
    EXPECT_EQ(run.exitCode, 0) << run.output;

    for (const char* expected :
         {"factory: vendor \"Caddowin\", URL \"\", e-mail \"\", flags 16 (unicode)",
          "class 0: \"Audio Module Class\"", "class ID ABCDEF01 9182FAEB 4364776E 566B4F72",
          "(Windows/COM bytes 01 EF CD AB 82 91 EB FA 43 64 77 6E 56 6B 4F 72)",
          "class 1: \"Component Controller Class\"", "sub-categories \"Fx\"",
          "input bus 0: \"Input\"", "output bus 0: \"Output\"", "latency: 0 samples", "\"Bypass\"",
          "output identical to input: yes", "result: OK"})
        EXPECT_NE(run.output.find(expected), std::string::npos) << "missing: " << expected;
}

TEST(SmokeTool, FailsForAMissingBundle)
{
    const auto run = runSmokeTool("/nonexistent/Vesk Orlune.vst3");
    EXPECT_NE(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("result: FAILED"), std::string::npos) << run.output;
}

} // namespace
