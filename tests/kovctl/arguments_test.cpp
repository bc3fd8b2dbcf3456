// kovctl's command line: every complaint the manual and the scenario tests rely on, word for word,
// and what a good command line fills in.
#include "args.h"
#include "option_values.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kovctl {
namespace {

ParseResult parse(std::vector<const char*> words) {
    words.insert(words.begin(), "kovctl");
    return parseArguments(static_cast<int>(words.size()), words.data());
}

std::string shown(const std::vector<const char*>& words) {
    std::string line = "kovctl";
    for (const char* word : words) line += std::string(" [") + word + "]";
    return line;
}

TEST(KovctlArguments, EveryBadCommandLineIsNamedInOneLine) {
    struct Case {
        std::vector<const char*> words;
        const char* error;
    };
    const std::vector<Case> cases = {
        {{"bogus"}, "unknown command 'bogus'"},
        {{}, "no command given"},
        {{"--json"}, "no command given"},
        {{"list", "--frob"}, "unknown option '--frob'"},
        {{"--frob=1", "list"}, "unknown option '--frob'"},
        {{"list", "-x"}, "unknown option '-x'"},
        {{"list", "--json=1"}, "unknown option '--json'"},
        {{"register", "onlykey"}, "missing argument PATH for register"},
        {{"check-lang"}, "missing argument TAG for check-lang"},
        {{"inspect"}, "missing argument PATH for inspect"},
        {{"lang", "extra"}, "unexpected argument 'extra' for lang"},
        {{"remove"}, "missing argument KEY for remove"},
        {{"remove", "k", "/x.so", "extra"}, "unexpected argument 'extra' for remove"},
        {{"send", "--set", "12x"}, "bad number '12x' for --set"},
        {{"send", "--set", ""}, "bad number '' for --set"},
        {{"send", "--provider", "0x100000000"}, "bad number '0x100000000' for --provider"},
        {{"send", "--provider", "0x"}, "bad number '0x' for --provider"},
        {{"send", "--code=-1"}, "bad number '-1' for --code"},
        {{"send", "--code", "-1"}, "bad number '-1' for --code"},
        {{"send", "--code"}, "missing value for --code"},
        {{"list", "--timeout"}, "missing value for --timeout"},
        {{"--timeout", "soon", "list"}, "bad number 'soon' for --timeout"},
        {{"list", "--module", ""}, "empty path for --module"},
        {{"list", "--module="}, "missing value for --module"}, // "--x=" gives no value
        {{"send", "--text"}, "missing value for --text"},
        {{"bogus", "list"}, "unknown command 'bogus'"},
        {{"-", "list"}, "unknown command '-'"},
        {{"--frob", "list", "--set", "1"}, "unknown option '--frob'"},
        {{"list", "--sync=yes"}, "unknown option '--sync'"},
        {{"help", "bogus"}, "unknown command 'bogus'"},
        {{"--timeout", "x", "--version"}, "bad number 'x' for --timeout"},
        {{"send", "--version", "1"}, "bad version '1' for --version (expected MAJOR.MINOR)"},
        {{"send", "--version", "1.70000"}, "bad version '1.70000' for --version (expected MAJOR.MINOR)"},
        {{"send", "--set", "0x100:1"}, "bad version '1' for --set (SET:MAJOR.MINOR)"},
        {{"send", "--hex", "0g"}, "bad hex payload '0g' (expected pairs of hex digits)"},
        {{"send", "--hex", "01 2 03"}, "bad hex payload '01 2 03' (expected pairs of hex digits)"},
        {{"send", "--hex", "123"}, "bad hex payload '123' (expected pairs of hex digits)"},
        {{"send", "--hex", "01", "--file", "/x"}, "give the payload once, with --hex, --text or --file"},
        {{"send", "--text", "a", "--hex", "01"}, "give the payload once, with --hex, --text or --file"},
        {{"list", "--text", "a"}, "option --text belongs to the send command"},
        {{"list", "--stop-on-error"}, "option --stop-on-error belongs to the session command"},
        {{"session", "a", "b"}, "unexpected argument 'b' for session"},
        {{"session", ""}, "FILE must not be empty"},
        {{"list", "--set", "1"}, "option --set belongs to the send command"},
        {{"--code", "1", "send"}, "option --code belongs to the send command"},
        {{"registry", "--loaded-only"}, "option --loaded-only belongs to the list command"},
        {{"register", "", "/x.so"}, "KEY must not be empty"},
        {{"register", "k", ""}, "PATH must not be empty"},
        {{"list", "--", "x"}, "unknown option '--'"},
        {{"version", "x"}, "unexpected argument 'x' for version"},
        {{"registry", "--wide"}, "option --wide belongs to the list command"},
        // One version of the set, however it is given.
        {{"send", "--set", "0x6a00:1.0", "--version", "2.0"},
         "--set 0x6a00:1.0 and --version 2.0 name two versions of the set; give one"},
        {{"send", "--version", "2.0", "--set=0x6a00:1.0"},
         "--set 0x6a00:1.0 and --version 2.0 name two versions of the set; give one"},
    };
    for (const Case& c : cases) {
        const ParseResult parsed = parse(c.words);
        EXPECT_FALSE(parsed.ok) << shown(c.words);
        EXPECT_EQ(c.error, parsed.error) << shown(c.words);
    }
}

TEST(KovctlArguments, HelpAndVersionNeedNothingElse) {
    struct Case {
        std::vector<const char*> words;
        bool help;
        bool version;
        Command command;
    };
    const std::vector<Case> cases = {
        {{"--help"}, true, false, Command::None},
        {{"-h"}, true, false, Command::None},
        {{"help"}, true, false, Command::None},
        {{"help", "send"}, true, false, Command::Send},
        {{"send", "--help"}, true, false, Command::Send},
        {{"register", "--help"}, true, false, Command::Register}, // operands not needed for help
        {{"--version"}, false, true, Command::None},
        {{"list", "--version"}, false, true, Command::List},
        {{"--version", "send"}, false, true, Command::Send},
        {{"--version", "--json", "list", "--json"}, false, true, Command::List},
        {{"send", "--code", "5", "--help"}, true, false, Command::Send},
        {{"version"}, false, true, Command::Version},
        {{"version", "--json"}, false, true, Command::Version},
        {{"help", "version"}, true, false, Command::Version},
    };
    for (const Case& c : cases) {
        const ParseResult parsed = parse(c.words);
        ASSERT_TRUE(parsed.ok) << shown(c.words) << ": " << parsed.error;
        EXPECT_EQ(c.help, parsed.options.help) << shown(c.words);
        EXPECT_EQ(c.version, parsed.options.version) << shown(c.words);
        EXPECT_EQ(c.command, parsed.options.command) << shown(c.words);
    }
    // --version without a command still takes the module to ask.
    const ParseResult version = parse({"--version", "--module", "m.so"});
    ASSERT_TRUE(version.ok) << version.error;
    EXPECT_EQ("m.so", version.options.modulePath);
}

TEST(KovctlArguments, OptionsStandBeforeOrAfterTheCommand) {
    for (const auto& words : std::vector<std::vector<const char*>>{
             {"--json", "--sync", "--timeout", "500", "--module", "m.so", "list"},
             {"list", "--json", "--sync", "--timeout=500", "--module=m.so"},
             {"--timeout", "0x1f4", "list", "--module", "m.so", "--sync", "--json"}}) {
        const ParseResult parsed = parse(words);
        ASSERT_TRUE(parsed.ok) << shown(words) << ": " << parsed.error;
        EXPECT_EQ(Command::List, parsed.options.command);
        EXPECT_TRUE(parsed.options.json);
        EXPECT_TRUE(parsed.options.sync);
        EXPECT_EQ(500u, parsed.options.timeoutMs);
        EXPECT_EQ("m.so", parsed.options.modulePath);
    }
    const ParseResult defaults = parse({"stats"});
    ASSERT_TRUE(defaults.ok);
    EXPECT_FALSE(defaults.options.json);
    EXPECT_FALSE(defaults.options.sync);
    EXPECT_EQ(10000u, defaults.options.timeoutMs);
    EXPECT_EQ("", defaults.options.modulePath);
}

TEST(KovctlArguments, SendFillsInTheRequest) {
    const ParseResult parsed = parse({"send", "--set=0x100:1.2", "--code", "0x10", "--provider",
                                      "7", "--hex", "01 02,ff:10"});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    const Options& o = parsed.options;
    EXPECT_EQ(7u, o.request.provider);
    EXPECT_EQ(0x100u, o.request.functionSet);
    EXPECT_EQ(1u, o.request.setMajor);
    EXPECT_EQ(2u, o.request.setMinor);
    EXPECT_EQ(16u, o.request.functionCode);
    EXPECT_EQ((std::vector<std::uint8_t>{1, 2, 0xff, 0x10}), o.request.payload);
    EXPECT_TRUE(o.providerGiven && o.setGiven && o.versionGiven);

    const ParseResult bare = parse({"send", "--set", "5"});
    ASSERT_TRUE(bare.ok) << bare.error;
    EXPECT_FALSE(bare.options.providerGiven);
    EXPECT_FALSE(bare.options.versionGiven);
    EXPECT_EQ(1u, bare.options.request.setMajor);
    EXPECT_EQ(0u, bare.options.request.setMinor);

    const ParseResult text = parse({"send", "--text", "colour=blue green"});
    ASSERT_TRUE(text.ok) << text.error;
    EXPECT_EQ(std::string("colour=blue green"),
              std::string(text.options.request.payload.begin(), text.options.request.payload.end()));

    // The same version twice is no conflict.
    const ParseResult same = parse({"send", "--set", "0x6a00:2.0", "--version", "2.0"});
    ASSERT_TRUE(same.ok) << same.error;
    EXPECT_EQ(2u, same.options.request.setMajor);

    const ParseResult version = parse({"send", "--version", "2.0"});
    ASSERT_TRUE(version.ok) << version.error;
    EXPECT_FALSE(version.options.version); // the request's set version, not kovctl's
    EXPECT_TRUE(version.options.versionGiven);
    EXPECT_EQ(2u, version.options.request.setMajor);
}

// The payload file is read when the request is built, by the process that sends it.
TEST(KovctlArguments, APayloadFileIsReadWhenTheRequestIsBuilt) {
    ParseResult parsed = parse({"send", "--file", "/no/such/folder/payload.bin"});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    std::string error;
    EXPECT_FALSE(readPayloadFile(parsed.options, error));
    EXPECT_EQ("cannot read file '/no/such/folder/payload.bin'", error);
    parsed = parse({"send", "--file", "-"});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ("-", parsed.options.payloadFile);
}

TEST(KovctlArguments, ASessionReadsAFileOrStandardInput) {
    struct Case {
        std::vector<const char*> words;
        std::vector<std::string> operands;
        bool stopOnError;
    };
    for (const Case& c : std::vector<Case>{
             {{"session"}, {}, false},
             {{"session", "-"}, {"-"}, false},
             {{"--json", "session", "cmds.txt", "--stop-on-error"}, {"cmds.txt"}, true}}) {
        const ParseResult parsed = parse(c.words);
        ASSERT_TRUE(parsed.ok) << shown(c.words) << ": " << parsed.error;
        EXPECT_EQ(Command::Session, parsed.options.command);
        EXPECT_EQ(c.operands, parsed.options.operands) << shown(c.words);
        EXPECT_EQ(c.stopOnError, parsed.options.stopOnError) << shown(c.words);
    }
    // A line's own --timeout wins over the session's; the parser says whether one was given.
    EXPECT_TRUE(parse({"list", "--timeout", "5"}).options.timeoutGiven);
    EXPECT_FALSE(parse({"list"}).options.timeoutGiven);
}

TEST(KovctlArguments, SlashWordsAreOperandsOnEverySystem) {
    const ParseResult parsed = parse({"remove", "/k", "/x"});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ((std::vector<std::string>{"/k", "/x"}), parsed.options.operands);
}

TEST(KovctlArguments, OperandsReachTheBrokerAsUtf16) {
    const ParseResult parsed = parse({"register", "key", "/x.so"});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    ASSERT_EQ(2u, parsed.options.wideOperands.size());
    EXPECT_EQ(u"key", parsed.options.wideOperands[0]);
    EXPECT_EQ(u"/x.so", parsed.options.wideOperands[1]);
    const ParseResult emptyTag = parse({"check-lang", ""});
    ASSERT_TRUE(emptyTag.ok) << emptyTag.error; // an empty tag is a tag the broker answers 34 to
    EXPECT_EQ(u"", emptyTag.options.wideOperands[0]);
}

} // namespace
} // namespace kovctl
