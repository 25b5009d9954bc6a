// Runs the shell sessions that the README and the command reference show, and
// the README's embedding example, and compares everything they print with
// the text shown there, so that what a user learns from them is what the
// product does.
//
// A session is a fenced code block whose first line starts with the prompt.
// Each prompt line is a command; the lines up to the next prompt line are
// what the shell prints for it. All sessions of one document run in order in
// one shell, in an empty directory.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "support/process.h"
#include "support/test_support.h"

namespace {

constexpr std::string_view kPrompt = "quorvel> ";
constexpr std::string_view kFence = "```";

struct Step {
  std::string command;
  std::string printed;  // as the document shows it, without trailing blank lines
};

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string withoutTrailingBlankLines(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// The blocks of `document` fenced as "```<language>", in order.
std::vector<std::string> fencedBlocks(const std::string& document, std::string_view language) {
  std::vector<std::string> blocks;
  const std::vector<std::string> lines = linesOf(document);
  const std::string opening = std::string(kFence) + std::string(language);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != opening) continue;
    std::string block;
    for (++i; i < lines.size() && lines[i] != kFence; ++i) block += lines[i] + "\n";
    blocks.push_back(block);
  }
  return blocks;
}

std::string readDocument(const char* name) {
  return readFile(std::filesystem::path(QUORVEL_SOURCE_DIR) / name);
}

// The steps of every session block of `document`, in order.
std::vector<Step> sessionSteps(const std::string& document) {
  std::vector<Step> steps;
  const std::vector<std::string> lines = linesOf(document);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != kFence || i + 1 >= lines.size() || !lines[i + 1].starts_with(kPrompt)) {
      continue;
    }
    for (++i; i < lines.size() && lines[i] != kFence; ++i) {
      if (lines[i].starts_with(kPrompt)) {
        steps.push_back({lines[i].substr(kPrompt.size()), ""});
      } else {
        steps.back().printed += lines[i] + "\n";
      }
    }
  }
  for (Step& step : steps) step.printed = withoutTrailingBlankLines(step.printed);
  return steps;
}

class DocumentedSessions : public TempDirTest {
 protected:
  // Runs the document's sessions through the shell and compares each result.
  void expectSessionsOf(const char* name) {
    const std::vector<Step> steps = sessionSteps(readDocument(name));
    ASSERT_FALSE(steps.empty()) << name << " shows no session";
    std::string input;
    for (const Step& step : steps) input += step.command + "\n";
    const ProgramRun run = runProgram({QUORVEL_SHELL_PATH}, dir / "io", input);
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 0);

    // Every command is answered after a prompt of its own; the shell prints
    // one more prompt when its input ends without "exit".
    std::vector<std::string> answers;
    for (std::size_t at = run.output.find(kPrompt); at != std::string::npos;) {
      const std::size_t next = run.output.find(kPrompt, at + kPrompt.size());
      answers.push_back(withoutTrailingBlankLines(
          run.output.substr(at + kPrompt.size(), next - at - kPrompt.size())));
      at = next;
    }
    ASSERT_GE(answers.size(), steps.size()) << run.output;
    for (std::size_t i = 0; i < steps.size(); ++i) {
      EXPECT_EQ(answers[i], steps[i].printed) << name << ": " << steps[i].command;
    }
  }
};

TEST_F(DocumentedSessions, TheCommandReferenceShowsWhatTheShellPrints) {
  expectSessionsOf("docs/commands.md");
}

TEST_F(DocumentedSessions, TheReadmeShowsWhatTheShellPrints) { expectSessionsOf("README.md"); }

// The program as the README shows it, built as the README says, prints what
// the README shows on its first run and again on its second.
TEST_F(DocumentedSessions, TheReadmeEmbeddingExamplePrintsWhatItShows) {
  const std::string readme = readDocument("README.md");
  const std::vector<std::string> programs = fencedBlocks(readme, "c");
  const std::vector<std::string> outputs = fencedBlocks(readme, "json");
  ASSERT_EQ(programs.size(), 1u);
  ASSERT_EQ(outputs.size(), 2u);

  const std::filesystem::path build = dir.parent_path() / (dir.filename().string() + "-example");
  std::filesystem::create_directories(build);
  writeFile(build / "host.c", programs[0]);
  const std::filesystem::path library = std::filesystem::path(QUORVEL_LIBRARY_PATH).parent_path();
  const std::string compile = std::string(QUORVEL_C_COMPILER) + " " + QUORVEL_C_LINK_FLAGS + " '" +
                              (build / "host.c").string() + "' -I'" + QUORVEL_SOURCE_DIR +
                              "/include' -L'" + library.string() + "' -lquorvel -Wl,-rpath,'" +
                              library.string() + "' -o '" + (build / "host").string() + "'";
  ASSERT_EQ(std::system(compile.c_str()), 0) << compile;

  const std::string host = (build / "host").string();
  for (const std::string& expected : outputs) {
    const ProgramRun run = runProgram({host}, build / "io", "");
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, expected);
  }
  std::filesystem::remove_all(build);
}

}  // namespace
