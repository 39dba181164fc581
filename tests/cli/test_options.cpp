#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "cli/options.hpp"

using namespace nolu::qxt;

namespace {

// Runs the parser on the words given, capturing what it prints.
struct Parsed {
    std::optional<int> status;
    Options options;
    std::string out;
    std::string err;
};

// What the program would print: the usage text on standard output after
// --help, a failure's line on standard error.
Parsed parse(std::vector<const char*> words) {
    words.insert(words.begin(), "korven-qxt");
    Parsed p;
    const Outcome<Options> result = parse_options(static_cast<int>(words.size()), words.data());
    if (!result) {
        p.status = result.error().status;
        EXPECT_EQ(result.error().tag, nullptr) << "command-line errors are plain lines";
        p.err = result.error().message + "\n";
    } else if (result->help) {
        p.status = 0;
        p.options = *result;
        p.out = usage_text(words[0]);
    } else {
        p.options = *result;
    }
    return p;
}

}  // namespace

TEST(Options, DefaultsWithoutArguments) {
    const Parsed p = parse({});
    EXPECT_FALSE(p.status);
    EXPECT_EQ(p.options.pool, "qxt.nolupool.net:3358");
    EXPECT_EQ(p.options.threads, 0);
    EXPECT_EQ(p.options.skip, -1);
    EXPECT_TRUE(p.options.rebuild);
    EXPECT_TRUE(p.options.color);
    EXPECT_EQ(p.options.side, 0);
    EXPECT_EQ(p.options.bench, 0);
    EXPECT_TRUE(p.out.empty());
    EXPECT_TRUE(p.err.empty());
}

TEST(Options, EveryOptionAndAlias) {
    const Parsed p = parse({"-o", "h:1", "-u", "addr", "-w", "rig7", "-t", "3", "--stats-file", "/tmp/s.json",
                            "--no-color", "--engine", "avx2", "--verify", "v.txt", "--bench", "9", "--skip", "650",
                            "--skip-norebuild", "--side", "4096", "--side-dist", "2048"});
    ASSERT_FALSE(p.status);
    const Options& o = p.options;
    EXPECT_EQ(o.pool, "h:1");
    EXPECT_EQ(o.address, "addr");
    EXPECT_EQ(o.worker, "rig7");
    EXPECT_EQ(o.threads, 3);
    EXPECT_EQ(o.stats_file, "/tmp/s.json");
    EXPECT_FALSE(o.color);
    EXPECT_EQ(o.engine, "avx2");
    EXPECT_EQ(o.verify, "v.txt");
    EXPECT_EQ(o.bench, 9);
    EXPECT_EQ(o.skip, 650);
    EXPECT_FALSE(o.rebuild);
    EXPECT_EQ(o.side, 4096);
    EXPECT_EQ(o.side_dist, 2048);

    EXPECT_EQ(parse({"--pool", "a:2", "--user", "u1", "--worker", "w", "--threads", "5"}).options.pool, "a:2");
    EXPECT_EQ(parse({"--address", "u2"}).options.address, "u2");
    EXPECT_EQ(parse({"--user", "u3"}).options.address, "u3");
    EXPECT_EQ(parse({"--threads", "5"}).options.threads, 5);
}

TEST(Options, ReftIsAnOptionLikeTheOthers) {
    const Parsed p = parse({"--reft"});
    EXPECT_FALSE(p.status);
    EXPECT_TRUE(p.options.reft);
    EXPECT_FALSE(parse({}).options.reft);
}

TEST(Options, SelfTestAndRecheckAreOnUnlessSwitchedOff) {
    EXPECT_TRUE(parse({}).options.self_test);
    EXPECT_TRUE(parse({}).options.recheck);
    const Parsed p = parse({"--no-self-test", "--no-recheck"});
    ASSERT_FALSE(p.status);
    EXPECT_FALSE(p.options.self_test);
    EXPECT_FALSE(p.options.recheck);
    EXPECT_TRUE(parse({"--no-recheck"}).options.self_test);
    EXPECT_TRUE(parse({"--no-self-test"}).options.recheck);
}

TEST(Options, LaterOccurrenceWins) {
    const Parsed p = parse({"-t", "2", "--threads", "7", "-u", "a", "--address", "b", "--engine", "avx512",
                            "--engine", "avx2"});
    EXPECT_EQ(p.options.threads, 7);
    EXPECT_EQ(p.options.address, "b");
    EXPECT_EQ(p.options.engine, "avx2");
}

TEST(Options, ValuesAreTakenVerbatimEvenWithADash) {
    const Parsed p = parse({"-u", "--no-color", "-w", "-t"});
    ASSERT_FALSE(p.status);
    EXPECT_EQ(p.options.address, "--no-color");
    EXPECT_EQ(p.options.worker, "-t");
    EXPECT_TRUE(p.options.color);
}

TEST(Options, MissingValueNamesTheLongOption) {
    struct Case {
        const char* option;
        const char* message;
    } cases[] = {
        {"-o", "missing value for --pool\n"},         {"--pool", "missing value for --pool\n"},
        {"-u", "missing value for --user\n"},         {"--address", "missing value for --user\n"},
        {"-w", "missing value for --worker\n"},       {"-t", "missing value for --threads\n"},
        {"--stats-file", "missing value for --stats-file\n"}, {"--engine", "missing value for --engine\n"},
        {"--verify", "missing value for --verify\n"}, {"--bench", "missing value for --bench\n"},
        {"--skip", "missing value for --skip\n"},     {"--side", "missing value for --side\n"},
        {"--side-dist", "missing value for --side-dist\n"},
    };
    for (const Case& c : cases) {
        const Parsed p = parse({"-u", "a", c.option});
        ASSERT_TRUE(p.status) << c.option;
        EXPECT_EQ(*p.status, 2) << c.option;
        EXPECT_EQ(p.err, c.message);
        EXPECT_TRUE(p.out.empty());
    }
}

TEST(Options, UnknownOptionsEndParsingFirst) {
    Parsed p = parse({"--pool=h:1"});
    ASSERT_TRUE(p.status);
    EXPECT_EQ(*p.status, 2);
    EXPECT_EQ(p.err, "unknown option --pool=h:1 (see --help)\n");

    // No bundling of short options, and --help after an unknown option is never reached.
    p = parse({"-ut", "--help"});
    EXPECT_EQ(*p.status, 2);
    EXPECT_EQ(p.err, "unknown option -ut (see --help)\n");
    EXPECT_TRUE(p.out.empty());

    p = parse({"extra"});
    EXPECT_EQ(*p.status, 2);
}

TEST(Options, HelpPrintsTheUsageTextAndStops) {
    const Parsed p = parse({"-t", "4", "-h", "--bogus"});
    ASSERT_TRUE(p.status);
    EXPECT_EQ(*p.status, 0);
    EXPECT_EQ(p.out, usage_text("korven-qxt"));
    EXPECT_TRUE(p.err.empty());
    EXPECT_EQ(*parse({"--help"}).status, 0);
}

TEST(Options, UsageTextByteForByte) {
    // The historical lines come first, in their order, wrapped at 80 columns.
    const std::string expected =
        "usage: ./miner -u <QXT address> [options]\n"
        "  -o, --pool <host:port>   pool (default: NoluPool QXT qxt.nolupool.net:3358)\n"
        "  -u, --user <address>     your QXT payout address\n"
        "  -w, --worker <name>      worker name (default: hostname)\n"
        "  -t, --threads <n>        mining threads (default: auto, 2 GiB RAM per thread)\n"
        "      --stats-file <f>     write JSON stats every 10 s (HiveOS reads this file)\n"
        "      --no-color           uncolored output\n"
        "      --engine <avx512|avx2>  force an engine (default: best for this CPU)\n"
        "      --bench <seconds>    offline benchmark\n"
        "      --skip <permille>    skip-store: odd blocks past this point are not\n"
        "                           written, rebuilt when read (AVX-512, 500-1000,\n"
        "                           0 = off; default: 600 with 4 threads or more, off\n"
        "                           below)\n"
        "      --side <slots>       side cache: first-half blocks re-read soon are served\n"
        "                           from a <slots> KiB buffer (AVX-512, 0 = off)\n";
    const std::string text = usage_text("./miner");
    EXPECT_EQ(text.substr(0, expected.size()), expected);
    for (const char* entry :
         {"\n      --http <[host:]port>  serve /metrics (Prometheus) and /summary (JSON) over\n"
          "                           HTTP (a bare port: 127.0.0.1)\n",
          "\n      --http-token <t>     require \"Authorization: Bearer <t>\" (needed to listen\n",
          "\n      --no-self-test       skip the start-up self-test (one known hash per\n"
          "                           thread)\n"
          "      --no-recheck         submit shares without hashing them a second time\n",
          "\n      --backup-pool <host:port>  a pool to mine on while the ones before it fail\n"
          "                           (repeatable, tried in order)\n"})
        EXPECT_NE(text.find(entry, expected.size() - 1), std::string::npos) << entry << text;
}

// Every option a user may type is in the usage text, which the option table
// writes: no line past 80 columns, and each row's range is the one checked.
TEST(Options, UsageTextComesFromTheTable) {
    const std::string text = usage_text("korven-qxt");
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        EXPECT_LE(end - start, 80u) << text.substr(start, end - start);
    for (const OptionRow& row : option_table()) {
        ASSERT_TRUE(row.listed) << row.names[0];
        const std::string entry = std::string(" ") + row.names[0] + (row.value_name ? " " + std::string(row.value_name) : "");
        EXPECT_NE(text.find(entry + "  "), std::string::npos) << entry;
        if (row.range.checked) {
            EXPECT_TRUE(check_number(row.names[0], std::to_string(row.range.high).c_str()));
            EXPECT_FALSE(check_number(row.names[0], std::to_string(row.range.high + 1).c_str())) << row.names[0];
        }
    }
    for (const char* hidden_before : {"--verify <file>", "--reft", "--side-dist <d>", "--skip-norebuild", "-h, --help"})
        EXPECT_NE(text.find(hidden_before), std::string::npos) << hidden_before;
}

TEST(Options, VersionConfigAndLogFileLines) {
    const std::string text = usage_text("./miner");
    for (const char* line :
         {"\n  -V, --version            the version and the engines this processor can use\n",
          "\n  -c, --config <file>      settings from a JSON file (keys: the long options);\n"
          "                           the command line wins\n",
          "\n      --log-file <f>       append every console line, with a local ISO-8601 time\n"
          "                           stamp, to <f>\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    const Parsed p = parse({"--log-file", "/tmp/x.log", "-V"});
    ASSERT_FALSE(p.status);
    EXPECT_EQ(p.options.log_file, "/tmp/x.log");
    EXPECT_TRUE(p.options.version);
    EXPECT_EQ(*parse({"-V", "--bogus"}).status, 2);  // an unknown option still ends it
    EXPECT_TRUE(parse({"--version"}).options.version);
}

TEST(Options, NumbersReadLikeStrtol) {
    EXPECT_EQ(parse({"-t", "abc"}).options.threads, 0);
    EXPECT_EQ(parse({"-t", "12abc"}).options.threads, 12);
    EXPECT_EQ(parse({"-t", "-3"}).options.threads, -3);
    EXPECT_EQ(parse({"-t", "+6"}).options.threads, 6);
    EXPECT_EQ(parse({"--skip", " 700"}).options.skip, 700);
    EXPECT_EQ(parse({"--side", "-1"}).options.side, -1);
    EXPECT_EQ(parse({"--bench", "0x10"}).options.bench, 0);
}

TEST(Options, PoolSplitsAtTheLastColon) {
    Expected<Endpoint> e = Endpoint{};
    ASSERT_TRUE(e = split_pool("pool.example:4444"));
    EXPECT_EQ(e->host, "pool.example");
    EXPECT_EQ(e->port, 4444);

    ASSERT_TRUE(e = split_pool("a:b:7"));
    EXPECT_EQ(e->host, "a:b");
    EXPECT_EQ(e->port, 7);

    ASSERT_TRUE(e = split_pool("nocolon"));
    EXPECT_EQ(e->host, "nocolon");
    EXPECT_EQ(e->port, 3333);

    ASSERT_TRUE(e = split_pool("trailing:"));
    EXPECT_EQ(e->host, "trailing");
    EXPECT_EQ(e->port, 0);

    ASSERT_TRUE(e = split_pool("h:xyz"));
    EXPECT_EQ(e->port, 0);
    ASSERT_TRUE(e = split_pool("h:65535"));
    EXPECT_EQ(e->port, 65535);
    ASSERT_TRUE(e = split_pool("[::1]:80"));
    EXPECT_EQ(e->host, "[::1]");
    EXPECT_EQ(e->port, 80);
}

TEST(Options, PortOutOfRangeIsACommandLineError) {
    Expected<Endpoint> e = Endpoint{};
    EXPECT_FALSE(split_pool("h:70000"));
    EXPECT_FALSE(split_pool("h:65536"));
    EXPECT_FALSE(split_pool("h:-1"));
    EXPECT_FALSE(split_pool("h:99999999999999999999"));

    Parsed p = parse({"-o", "pool:70000", "-u", "a"});
    ASSERT_TRUE(p.status);
    EXPECT_EQ(*p.status, 2);
    EXPECT_EQ(p.err, "pool port 70000 is out of range (0 to 65535)\n");

    // Only the final value counts.
    EXPECT_FALSE(parse({"-o", "pool:70000", "-o", "pool:7000"}).status);
}

TEST(Options, EngineChoice) {
    const IsaSupport both{true, true}, avx2_only{true, false}, neither{false, false};
    auto chosen = [](std::string_view requested, const IsaSupport& isa) {
        const Expected<const EngineRow*> row = choose_engine(requested, isa);
        return row ? std::string((*row)->name) : "error: " + row.error().message;
    };
    EXPECT_EQ(chosen("", both), "avx512");
    EXPECT_EQ(chosen("avx512", both), "avx512");
    EXPECT_EQ(chosen("sse", both), "avx512");
    EXPECT_EQ(chosen("avx2", both), "avx2");
    EXPECT_EQ(chosen("", avx2_only), "avx2");
    EXPECT_EQ(chosen("AVX512", avx2_only), "avx2");
    // The portable reference engine is for tests: asking for it gets the best engine.
    EXPECT_EQ(chosen("plain", both), "avx512");

    EXPECT_EQ(chosen("avx512", avx2_only), "error: AVX-512 engine requested but this CPU has no AVX-512 (F, VL, BW)");
    EXPECT_EQ(chosen("", neither), "error: this CPU has neither AVX-512 nor AVX2: not supported");
    EXPECT_EQ(chosen("avx2", neither), "error: this CPU has neither AVX-512 nor AVX2: not supported");
}

TEST(Options, CrossOptionRules) {
    auto check = [](const char* engine_name, std::vector<const char*> words) {
        const Options o = parse(std::move(words)).options;
        const EngineRow& engine = *find_engine(engine_name);
        const Outcome<Done> rules = check_option_rules(engine, o);
        if (!rules) {
            EXPECT_EQ(rules.error().status, 2);
            EXPECT_STREQ(rules.error().tag, "cpu  ");
        }
        Options in_force = o;
        in_force.skip = effective_skip(engine, o);
        return std::make_pair(rules ? std::string() : rules.error().message, in_force);
    };
    const std::string probe = "--skip-norebuild is a probe: --bench only (hashes are wrong)";

    EXPECT_EQ(check("avx2", {"--skip", "700"}).first, "--skip needs the AVX-512 engine");
    auto [error, o] = check("avx2", {"--skip", "0"});
    EXPECT_EQ(error, "");
    EXPECT_EQ(o.skip, 0);
    EXPECT_EQ(check("avx2", {}).second.skip, 0);  // automatic becomes off
    EXPECT_EQ(check("avx2", {"--side", "-4"}).first, "--side needs the AVX-512 engine");
    EXPECT_EQ(check("avx2", {"--skip-norebuild"}).first, probe);
    // The order of the checks: skip before the probe before side.
    EXPECT_EQ(check("avx2", {"--skip", "600", "--skip-norebuild", "--side", "1"}).first,
              "--skip needs the AVX-512 engine");
    EXPECT_EQ(check("avx2", {"--skip-norebuild", "--side", "1"}).first, probe);
    EXPECT_EQ(check("avx2", {"--skip-norebuild", "--bench", "5"}).first, "");

    EXPECT_EQ(check("avx512", {"--skip-norebuild"}).first, probe);
    EXPECT_EQ(check("avx512", {"--skip-norebuild", "--bench", "5"}).first, "");
    EXPECT_EQ(check("avx512", {"--side", "-4", "--skip", "600"}).first, "");
    EXPECT_EQ(check("avx512", {"--skip", "600"}).second.skip, 600);
}

TEST(Options, NumbersOutOfRangeAreCommandLineErrors) {
    struct Case {
        std::vector<const char*> words;
        const char* message;
    } cases[] = {
        // Used to wrap around to a negative benchmark length.
        {{"--bench", "3000000000"}, "--bench 3000000000 is out of range (0 to 2147483647)\n"},
        {{"--bench", "-5"}, "--bench -5 is out of range (0 to 2147483647)\n"},
        // Used to end in an uncaught allocation failure.
        {{"-t", "2147483647"}, "--threads 2147483647 is out of range (at most 1024)\n"},
        {{"--threads", "99999999999999999999"}, "--threads 99999999999999999999 is out of range (at most 1024)\n"},
        {{"-t", "-9999999999"}, "--threads -9999999999 is out of range (at most 1024)\n"},
        {{"--skip", "1001"}, "--skip 1001 is out of range (-1 to 1000)\n"},
        {{"--skip", "-2"}, "--skip -2 is out of range (-1 to 1000)\n"},
        {{"--side", "65001"}, "--side 65001 is out of range (at most 65000)\n"},
        {{"--side-dist", "4294967296"}, "--side-dist 4294967296 is out of range (at most 2097152)\n"},
    };
    for (const Case& c : cases) {
        std::vector<const char*> words = {"-u", "a"};
        words.insert(words.end(), c.words.begin(), c.words.end());
        const Parsed p = parse(words);
        ASSERT_TRUE(p.status) << c.message;
        EXPECT_EQ(*p.status, 2);
        EXPECT_EQ(p.err, c.message);
    }
    // The ends of each range, and the lenient forms the parser always took.
    const Parsed p = parse({"-t", "1024", "--bench", "2147483647", "--skip", "1000", "--side", "65000",
                            "--side-dist", "2097152"});
    ASSERT_FALSE(p.status) << p.err;
    EXPECT_EQ(p.options.threads, 1024);
    EXPECT_EQ(p.options.bench, 2147483647);
    EXPECT_EQ(parse({"-t", "-2147483648"}).options.threads, -2147483648);
    EXPECT_EQ(parse({"--skip", "-1"}).options.skip, -1);
    EXPECT_EQ(parse({"-t", "8cores"}).options.threads, 8);
    // A later valid value does not excuse an earlier one out of range.
    EXPECT_TRUE(parse({"-t", "5000", "-t", "2"}).status);
}

TEST(Options, BackupPoolsInOrder) {
    Parsed p = parse({"--backup-pool", "b1:1", "-o", "main:2", "--backup-pool", "[::1]:3", "-o", "main:4"});
    ASSERT_FALSE(p.status);
    EXPECT_EQ(p.options.pool, "main:4");  // -o keeps its meaning: the last one wins
    EXPECT_EQ(p.options.backup_pools, (std::vector<std::string>{"b1:1", "[::1]:3"}));
    // Split once, here: what the run connects to.
    EXPECT_EQ(p.options.pool_endpoint, (Endpoint{"main", 4}));
    EXPECT_EQ(p.options.backup_endpoints, (std::vector<Endpoint>{{"b1", 1}, {"[::1]", 3}}));
    EXPECT_TRUE(parse({}).options.backup_pools.empty());

    p = parse({"--backup-pool", "b:70000"});
    ASSERT_TRUE(p.status);
    EXPECT_EQ(*p.status, 2);
    EXPECT_EQ(p.err, "backup pool port 70000 is out of range (0 to 65535)\n");
    EXPECT_EQ(parse({"--backup-pool"}).err, "missing value for --backup-pool\n");
}

TEST(Options, TuneTakesOnlyANumberAfterIt) {
    Parsed p = parse({"--tune"});
    ASSERT_FALSE(p.status);
    EXPECT_TRUE(p.options.tune);
    EXPECT_EQ(p.options.tune_seconds, 0);
    EXPECT_FALSE(parse({}).options.tune);

    p = parse({"--tune", "90", "--config", "rig.json"});
    EXPECT_TRUE(p.options.tune);
    EXPECT_EQ(p.options.tune_seconds, 90);
    EXPECT_EQ(p.options.config, "rig.json");

    // A following option is not its value.
    p = parse({"--tune", "-t", "1"});
    ASSERT_FALSE(p.status);
    EXPECT_TRUE(p.options.tune);
    EXPECT_EQ(p.options.tune_seconds, 0);
    EXPECT_EQ(p.options.threads, 1);

    // Neither is a word that is not a number: it is read as an option of its own.
    p = parse({"--tune", "90s"});
    ASSERT_TRUE(p.status);
    EXPECT_EQ(p.err, "unknown option 90s (see --help)\n");
    EXPECT_EQ(parse({"--config"}).err, "missing value for --config\n");
}

// --tune with -c: the file may be new (the tuner makes it); an existing
// one is read, but the choices an earlier tuning saved there do not narrow
// the new search, while the command line still does.
TEST(Options, TuneReadsItsSettingsFileButNotItsOldChoice) {
    const std::string path = ::testing::TempDir() + "tune_options_test.json";
    std::remove(path.c_str());
    Parsed p = parse({"--tune", "-c", path.c_str()});
    ASSERT_FALSE(p.status) << p.err;
    EXPECT_EQ(parse({"-c", path.c_str()}).status, std::optional<int>(2));  // mining needs the file

    std::FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(R"({"user":"QXf","engine":"avx2","threads":7,"lanes":2,"skip":600,"side":1024,"side-dist":2048})", f);
    std::fclose(f);
    p = parse({"--tune", "-c", path.c_str(), "-t", "2"});
    ASSERT_FALSE(p.status) << p.err;
    EXPECT_EQ(p.options.address, "QXf");
    EXPECT_EQ(p.options.threads, 2);
    EXPECT_EQ(p.options.engine, "");
    EXPECT_EQ(p.options.lanes, 1);
    EXPECT_EQ(p.options.skip, Options{}.skip);
    EXPECT_EQ(p.options.side, 0);
    EXPECT_EQ(p.options.side_dist, 0);
    p = parse({"-c", path.c_str()});  // a mining run takes all of it
    EXPECT_EQ(p.options.threads, 7);
    EXPECT_EQ(p.options.lanes, 2);
    std::remove(path.c_str());
}

TEST(Options, LaneRules) {
    auto check = [](const char* engine_name, std::vector<const char*> words) {
        const Options o = parse(std::move(words)).options;
        const Outcome<Done> rules = check_option_rules(*find_engine(engine_name), o);
        if (!rules) {
            EXPECT_EQ(rules.error().status, 2);
            EXPECT_STREQ(rules.error().tag, "cpu  ");
        }
        return rules ? std::string() : rules.error().message;
    };
    EXPECT_EQ(parse({}).options.lanes, 1);
    EXPECT_EQ(parse({"--lanes", "3"}).options.lanes, 3);
    EXPECT_EQ(check("avx512", {"--lanes", "4"}), "");
    EXPECT_EQ(check("avx2", {"--lanes", "2", "--skip", "0"}), "");
    EXPECT_EQ(check("avx512", {"--lanes", "0"}), "--lanes takes 1 to 4");
    EXPECT_EQ(check("avx512", {"--lanes", "5"}), "--lanes takes 1 to 4");
    EXPECT_EQ(check("avx512", {"--lanes", "2", "--skip", "600"}),
              "--lanes does not combine with skip-store (--skip, --skip-norebuild)");
    EXPECT_EQ(check("avx512", {"--lanes", "2", "--skip-norebuild", "--bench", "5"}),
              "--lanes does not combine with skip-store (--skip, --skip-norebuild)");
    EXPECT_EQ(check("plain", {"--lanes", "2"}), "--lanes needs an engine with lanes (the plain engine has none)");
    // The side cache goes with lanes.
    EXPECT_EQ(check("avx512", {"--lanes", "2", "--side", "1024"}), "");
    EXPECT_EQ(check("avx512", {"--tune", "--bench", "5"}), "--tune runs on its own: not with --bench or --verify");
    EXPECT_EQ(check("avx512", {"--tune", "--verify", "v.txt"}), "--tune runs on its own: not with --bench or --verify");

    // Automatic skip-store stays off with lanes.
    const Options lanes = parse({"--lanes", "2"}).options;
    EXPECT_EQ(effective_skip(*find_engine("avx512"), lanes), 0);
    EXPECT_EQ(effective_skip(*find_engine("avx512"), parse({}).options), -1);
}

TEST(Options, LanesAndTuneLines) {
    const std::string text = usage_text("k");
    EXPECT_NE(text.find("\n      --lanes <n>          nonces each thread hashes at once, one arena each\n"
                        "                           (1-4, default with AVX-512: 4 where memory holds\n"
                        "                           them, 2 where it holds 2 or 3, else 1)\n"
                        "      --tune [seconds]     try the settings"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\n                           by speed (default: 300 s in all); with -c <file>,\n"
                        "                           write the fastest setting there\n"),
              std::string::npos);
    // Numbers of 32 bits and more do not wrap into the allowed range.
    EXPECT_EQ(parse({"--lanes", "4294967298"}).err, "--lanes 4294967298 is out of range (at most 2147483647)\n");
    EXPECT_EQ(parse({"--tune", "99999999999"}).err, "--tune 99999999999 is out of range (0 to 2147483647)\n");
}

TEST(Options, TlsPoolsPinsAndCaFromTheCommandLineAndTheSettingsFile) {
    const std::string pin(64, 'c');
    Parsed p = parse({"-o", "stratum+ssl://main:443", "--backup-pool", "b:1", "--tls", "--tls-fingerprint",
                      pin.c_str(), "--tls-fingerprint", ("b:1=" + pin).c_str(), "-u", "a"});
    ASSERT_FALSE(p.status) << p.err;
    EXPECT_TRUE(p.options.tls);
    EXPECT_EQ(p.options.tls_fingerprints.size(), 2u);

    p = parse({"-o", "http://main:80", "-u", "a"});
    ASSERT_TRUE(p.status);
    EXPECT_EQ(*p.status, 2);
    EXPECT_NE(p.err.find("unknown scheme \"http://\""), std::string::npos) << p.err;
    EXPECT_NE(parse({"--tls-fingerprint", "12:34", "-u", "a"}).err.find("64 hexadecimal digits"), std::string::npos);
    EXPECT_NE(parse({"--tls-fingerprint", ("other:1=" + pin).c_str()}).err.find("is none of the pools"),
              std::string::npos);
    EXPECT_NE(parse({"--tls-ca", "/nonexistent/ca.pem"}).err.find("--tls-ca /nonexistent/ca.pem: "),
              std::string::npos);

    // The settings file: a pin per pool as an array, --tls as true.
    const std::string path = "/tmp/qxt-options-tls-" + std::to_string(::getpid()) + ".json";
    std::ofstream(path) << R"({"pool": "tls://main:443", "backup-pool": ["stratum+tcp://b:1", "c:2"], "tls": true,)"
                        << R"("tls-fingerprint": [")" << pin << R"(", "c:2=)" << pin << R"("], "tls-ca": "/dev/null"})";
    p = parse({"-c", path.c_str()});
    std::remove(path.c_str());
    ASSERT_FALSE(p.status) << p.err;
    const Expected<std::vector<Endpoint>> pools =
        pool_list(p.options.pool, p.options.backup_pools, p.options.tls, p.options.tls_fingerprints);
    ASSERT_TRUE(pools);
    EXPECT_EQ((*pools)[0].fingerprint, pin);
    EXPECT_FALSE((*pools)[1].tls);  // its URL says plain, whatever --tls says
    EXPECT_TRUE((*pools)[2].tls);
    EXPECT_EQ((*pools)[2].fingerprint, pin);
    EXPECT_EQ(p.options.tls_ca, "/dev/null");
}
