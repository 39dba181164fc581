// The settings file of -c/--config: every kind of value, comments, the command
// line over the file, and every failure (status 2, a plain line naming the file).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/config_file.hpp"
#include "cli/options.hpp"

using namespace nolu::qxt;
namespace fs = std::filesystem;

namespace {

// A settings file in the temporary folder, removed afterwards.
class TempFile {
public:
    explicit TempFile(const std::string& content) {
        static int counter = 0;
        path_ = (fs::temp_directory_path() /
                 ("qxt-config-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".json"))
                    .string();
        std::ofstream(path_, std::ios::binary) << content;
    }
    ~TempFile() { fs::remove(path_); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

Outcome<Options> parse(std::vector<const char*> words) {
    words.insert(words.begin(), "korven-qxt");
    return parse_options(static_cast<int>(words.size()), words.data());
}

// The failure message of applying text as the file "f.json", or "" when it applied.
std::string problem(const std::string& text) {
    Options o;
    const Outcome<Done> r = apply_config_text(text, "f.json", o);
    if (r) return "";
    EXPECT_EQ(r.error().status, 2);
    EXPECT_EQ(r.error().tag, nullptr) << "a plain line on standard error";
    return r.error().message;
}

}  // namespace

TEST(ConfigFile, EveryKindOfValue) {
    Options o;
    const Outcome<Done> r = apply_config_text(
        R"({"pool": "p.example:3358", "user": "QXaddr", "worker": "rig7", "threads": 4, "stats-file": "/run/s.json",
            "engine": "avx2", "skip": 650, "side": -1, "side-dist": 2048, "bench": 0, "verify": "v.txt",
            "log-file": "/var/log/k.log", "no-color": true, "reft": false, "skip-norebuild": true})",
        "f.json", o);
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_EQ(o.pool, "p.example:3358");
    EXPECT_EQ(o.address, "QXaddr");
    EXPECT_EQ(o.worker, "rig7");
    EXPECT_EQ(o.threads, 4);
    EXPECT_EQ(o.stats_file, "/run/s.json");
    EXPECT_EQ(o.engine, "avx2");
    EXPECT_EQ(o.skip, 650);
    EXPECT_EQ(o.side, -1);
    EXPECT_EQ(o.side_dist, 2048);
    EXPECT_EQ(o.verify, "v.txt");
    EXPECT_EQ(o.log_file, "/var/log/k.log");
    EXPECT_FALSE(o.color);
    EXPECT_FALSE(o.reft);  // false leaves a flag off
    EXPECT_FALSE(o.rebuild);
}

TEST(ConfigFile, EveryTableRowIsAKeyButHelpVersionConfigTuneAndDryRun) {
    for (const OptionRow& row : option_table()) {
        const std::string key = std::string(row.names[0]).substr(2);
        const char* value = !row.takes_value ? "true" : row.config == ConfigValue::integer ? "1" : "\"x\"";
        const std::string message = problem("{\"" + key + "\": " + value + "}");
        if (key == "help" || key == "version" || key == "config" || key == "tune" || key == "dry-run")
            EXPECT_EQ(message, "config file f.json: \"" + key + "\" cannot be set in a settings file");
        else
            EXPECT_EQ(message, "") << key;
    }
}

TEST(ConfigFile, CommentsAndEmptyObject) {
    Options o;
    ASSERT_TRUE(apply_config_text(
        R"({"_comment": ["any", {"value": 1}], "_threads": "off", "_": null, "threads": 3})", "f.json", o));
    EXPECT_EQ(o.threads, 3);
    EXPECT_EQ(problem(" {\n}\n"), "");
}

TEST(ConfigFile, EveryFailureNamesTheFile) {
    const std::string bad_json =
        "config file f.json: not valid JSON (comments are keys that begin with \"_\"; check quotes and commas)";
    EXPECT_EQ(problem(""), bad_json);
    EXPECT_EQ(problem("{\"user\": \"a\",}"), bad_json);
    EXPECT_EQ(problem("{\"user\": \"a\" // mine\n}"), bad_json);
    EXPECT_EQ(problem("{\"user\": \"a\"} {}"), bad_json);
    EXPECT_EQ(problem("[{\"user\": \"a\"}]"), "config file f.json: not a JSON object ({\"key\": value, ...})");
    EXPECT_EQ(problem("\"user\""), "config file f.json: not a JSON object ({\"key\": value, ...})");

    EXPECT_EQ(problem(R"({"thread": 2})"),
              "config file f.json: unknown key \"thread\" (keys are the long options without \"--\", see --help)");
    EXPECT_EQ(problem(R"({"--threads": 2})"),
              "config file f.json: unknown key \"--threads\" (keys are the long options without \"--\", see --help)");
    EXPECT_EQ(problem(R"({"t": 2})"),
              "config file f.json: unknown key \"t\" (keys are the long options without \"--\", see --help)");
    EXPECT_EQ(problem(R"({"address": "a"})"),  // an alias, not the long name
              "config file f.json: unknown key \"address\" (keys are the long options without \"--\", see --help)");
    EXPECT_EQ(problem(R"({"threads": 2, "user": "a", "threads": 3})"), "config file f.json: \"threads\" is given twice");

    for (const char* value : {"\"4\"", "4.5", "1e3", "true", "null", "[4]", "2147483648", "-2147483649", "+4", "--4"})
        EXPECT_EQ(problem(std::string(R"({"threads": )") + value + "}"),
                  "config file f.json: \"threads\" must be a whole number")
            << value;
    for (const char* value : {"4", "true", "null", "[\"a\"]", "{}", "\"a\\u0000b\""})
        EXPECT_EQ(problem(std::string(R"({"user": )") + value + "}"), "config file f.json: \"user\" must be a string")
            << value;
    for (const char* value : {"1", "\"yes\"", "null", "[true]"})
        EXPECT_EQ(problem(std::string(R"({"no-color": )") + value + "}"),
                  "config file f.json: \"no-color\" must be true or false")
            << value;
}

TEST(ConfigFile, NumbersAtTheEdgesOfTheirRanges) {
    Options o;
    ASSERT_TRUE(apply_config_text(R"({"threads": 1024, "skip": -1, "side": 0007, "bench": 2147483647})", "f", o));
    EXPECT_EQ(o.threads, 1024);
    EXPECT_EQ(o.skip, -1);
    EXPECT_EQ(o.side, 7);
    EXPECT_EQ(o.bench, 2147483647);
    // The same range check as on the command line, naming the option.
    EXPECT_EQ(problem(R"({"threads": 2147483647})"),
              "config file f.json: --threads 2147483647 is out of range (at most 1024)");
    EXPECT_EQ(problem(R"({"skip": -2})"), "config file f.json: --skip -2 is out of range (-1 to 1000)");
}

TEST(ConfigFile, ControlBytesNeverReachTheMessage) {
    const std::string message = problem("{\"a\\u001b[31m\\nb\": 1}");
    EXPECT_EQ(message,
              "config file f.json: unknown key \"a?[31m?b\" (keys are the long options without \"--\", see --help)");
    Options o;
    const Outcome<Done> r = apply_config_text("x", "dir\n/f\x1b.json", o);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message.rfind("config file dir?/f?.json: ", 0), 0u) << r.error().message;
}

TEST(ConfigFile, CommandLineOverridesTheFileWhereverItStands) {
    const TempFile file(R"({"pool": "file:1", "user": "file-user", "threads": 4, "worker": "file-rig"})");
    Outcome<Options> o = parse({"-t", "2", "-c", file.path().c_str(), "-u", "cli-user"});
    ASSERT_TRUE(o) << o.error().message;
    EXPECT_EQ(o->threads, 2);  // given before -c, still wins
    EXPECT_EQ(o->address, "cli-user");
    EXPECT_EQ(o->pool, "file:1");
    EXPECT_EQ(o->worker, "file-rig");
    EXPECT_EQ(o->config, file.path());

    // The last -c counts; --help and --version never read it.
    const TempFile other(R"({"threads": 9})");
    o = parse({"--config", file.path().c_str(), "--config", other.path().c_str()});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->threads, 9);
    EXPECT_EQ(o->address, "");
    EXPECT_TRUE(parse({"-c", "/no/such/file", "--help"}));
    EXPECT_TRUE(parse({"-c", "/no/such/file", "-V"}));
}

TEST(ConfigFile, FileProblemsEndTheParse) {
    Outcome<Options> o = parse({"-c", "/no/such/korven.json"});
    ASSERT_FALSE(o);
    EXPECT_EQ(o.error().status, 2);
    EXPECT_EQ(o.error().message, "config file /no/such/korven.json: cannot open it (No such file or directory)");

    o = parse({"-c", fs::temp_directory_path().c_str()});
    ASSERT_FALSE(o);
    EXPECT_EQ(o.error().message, "config file " + fs::temp_directory_path().string() + ": cannot read it (Is a directory)");

    const TempFile big("{\"_\": \"" + std::string(1 << 20, 'x') + "\"}");
    o = parse({"-c", big.path().c_str()});
    ASSERT_FALSE(o);
    EXPECT_EQ(o.error().message, "config file " + big.path() + ": larger than 1 MiB");

    // The file's pool goes through the same port check as the command line's.
    const TempFile port(R"({"pool": "h:70000"})");
    o = parse({"-c", port.path().c_str()});
    ASSERT_FALSE(o);
    EXPECT_EQ(o.error().message, "pool port 70000 is out of range (0 to 65535)");
    EXPECT_TRUE(parse({"-c", port.path().c_str(), "-o", "h:1"}));

    // An unknown option on the command line is reported before the file is read.
    o = parse({"-c", "/no/such/korven.json", "--bogus"});
    ASSERT_FALSE(o);
    EXPECT_EQ(o.error().message, "unknown option --bogus (see --help)");
}

TEST(ConfigFile, RepeatableOptionsTakeAStringOrAnArray) {
    // Today's table has no repeatable option: a table of its own shows the rule.
    // Each value given is appended to the worker text.
    static const OptionRow table[] = {
        {{"--each"}, true, [](Options& o, const char* v) { o.worker += std::string(v) + ";"; }, ConfigValue::texts},
        {{"--one"}, true, [](Options& o, const char* v) { o.worker += std::string(v) + "!"; }},
    };
    auto apply = [](const std::string& text) {
        Options o;
        const Outcome<Done> r = apply_config_text(text, "f.json", o, table);
        return r ? o.worker : r.error().message;
    };
    EXPECT_EQ(apply(R"({"each": ["a:1", "b:2", "c:3"], "one": "x"})"), "a:1;b:2;c:3;x!");
    EXPECT_EQ(apply(R"({"each": "a:1"})"), "a:1;");
    EXPECT_EQ(apply(R"({"each": []})"), "");
    const std::string wrong = "config file f.json: \"each\" must be a string or an array of strings";
    EXPECT_EQ(apply(R"({"each": ["a:1", 2]})"), wrong);  // nothing of it applied
    EXPECT_EQ(apply(R"({"each": [["a:1"]]})"), wrong);
    EXPECT_EQ(apply(R"({"each": 5})"), wrong);
    EXPECT_EQ(apply(R"({"one": ["x"]})"), "config file f.json: \"one\" must be a string");
    EXPECT_EQ(apply(R"({"pool": "p"})"),
              "config file f.json: unknown key \"pool\" (keys are the long options without \"--\", see --help)");
}
