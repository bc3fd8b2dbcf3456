// How a session line is split into words: what users type into a command file.
#include "session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kovctl {
namespace {

TEST(KovctlSession, LinesSplitIntoWordsAsTyped) {
    struct Case {
        std::string line;
        std::vector<std::string> words;
    };
    const std::vector<Case> cases = {
        {"", {}},
        {"  \t ", {}},
        {"send --set 0x10", {"send", "--set", "0x10"}},
        {"  list\t--json  ", {"list", "--json"}},
        {"send --text \"hello world\"", {"send", "--text", "hello world"}},
        {"send --text 'a \"quoted\" word'", {"send", "--text", "a \"quoted\" word"}},
        {"send --text \"say \\\"hi\\\" \\\\o/\"", {"send", "--text", "say \"hi\" \\o/"}},
        {"send --text 'it''s'", {"send", "--text", "its"}},
        {"check-lang ''", {"check-lang", ""}},
        {"check-lang \"\" x", {"check-lang", "", "x"}},
        {"--text=\"a b\"c", {"--text=a bc"}},
        // Backslashes outside quotes stay, so Windows paths need no doubling.
        {"register kv C:\\kov\\kv.dll", {"register", "kv", "C:\\kov\\kv.dll"}},
        {"register kv \"C:\\Program Files\\kv.dll\"", {"register", "kv", "C:\\Program Files\\kv.dll"}},
        // Single quotes keep backslashes as they stand too.
        {"send --text '\\\\'", {"send", "--text", "\\\\"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> words;
        std::string error;
        EXPECT_TRUE(splitLine(c.line, words, error)) << c.line << ": " << error;
        EXPECT_EQ(c.words, words) << c.line;
    }
}

TEST(KovctlSession, AQuoteLeftOpenIsNamed) {
    for (const auto& c : std::vector<std::pair<std::string, std::string>>{
             {"send --text \"open", "the double quote is not closed"},
             {"send --text 'open", "the single quote is not closed"},
             {"send --text \"a\\\"", "the double quote is not closed"},
         }) {
        std::vector<std::string> words;
        std::string error;
        EXPECT_FALSE(splitLine(c.first, words, error)) << c.first;
        EXPECT_EQ(c.second, error) << c.first;
    }
}

} // namespace
} // namespace kovctl
