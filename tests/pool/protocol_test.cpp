// The pool protocol: login and submission lines byte for byte (as they reach
// a loopback server), the four incoming shapes, job validation and the job slot.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "pool/pool.hpp"
#include "pool/protocol.hpp"
#include "pool_test_util.hpp"

using namespace nolu::qxt;
using namespace nolu::qxt::test;
using namespace std::chrono_literals;

namespace {

const char* const login_tail =
    R"(","protocol_version":2,"capabilities":["submit_claimed_hash","difficulty_hint"],"difficulty_hint":)";

class Protocol : public ::testing::Test {
protected:
    void SetUp() override { recorder.attach(pool); }

    // Connects the pool to the test server; the lines it sends from then on
    // arrive there.
    void wire(const Config& config) {
        const auto login = start_and_accept(pool, server, config);
        ASSERT_TRUE(login.has_value());
    }
    void wire() { wire(config_for(server.port())); }

    // Everything the pool has sent since the last read.
    std::string drain() { return server.read_until_closed(100ms); }

    // Sends a job line from the server and waits until the connection thread stored it.
    void deliver(const std::string& line) {
        const std::uint64_t before = pool.jobs_received();
        ASSERT_TRUE(server.send(line + "\n"));
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (pool.jobs_received() == before) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << line;
            std::this_thread::sleep_for(1ms);
        }
    }

    TestServer server;
    Recorder recorder;  // outlives the pool's connection thread
    Pool pool{1ms};
};

std::string full_job(const std::string& extra_members) {
    return R"({"method":"job","params":{"job_id":"abc","header_base":")" + header_hex(0x11) +
           R"(","target":")" + std::string(64, 'f') + "\"" + extra_members + "}}";
}

}  // namespace

TEST_F(Protocol, LoginLineEscapesAndPicksTheHint) {
    Config config = config_for(server.port(), "QXT\"a\\b", "rig\n1\x01");
    const std::string head = R"({"id":1,"method":"login","params":{"address":"QXT\"a\\b","worker":"rig\n1\u0001)";

    // The line built is the line sent, and start keeps what it was given.
    EXPECT_EQ(start_and_accept(pool, server, config), head + login_tail + "null}}");
    EXPECT_EQ(pool.login_line(), head + login_tail + "null}}");
    EXPECT_EQ(pool.config().host, "127.0.0.1");
    EXPECT_EQ(pool.config().port, server.port());
    EXPECT_EQ(pool.config().address, config.address);
    EXPECT_EQ(pool.config().worker, config.worker);
    pool.stop();

    config.difficulty_hint = 480;
    EXPECT_EQ(start_and_accept(pool, server, config), head + login_tail + "480}}");
    EXPECT_EQ(pool.config().difficulty_hint, 480);
    pool.stop();

    // The difficulty of the latest job wins over the configured hint and
    // survives later jobs without one.
    pool.handle_line(full_job(R"(,"difficulty":5000)"));
    EXPECT_EQ(pool.login_line(), head + login_tail + "5000}}");
    pool.handle_line(full_job(""));
    EXPECT_EQ(pool.login_line(), head + login_tail + "5000}}");
    EXPECT_EQ(pool.login_line().find('\n'), std::string::npos);
    EXPECT_EQ(start_and_accept(pool, server, config), head + login_tail + "5000}}");
}

TEST_F(Protocol, SubmissionLinesByteForByte) {
    wire();
    std::uint8_t hash[32];
    for (int i = 0; i < 32; ++i) hash[i] = static_cast<std::uint8_t>(i * 0x11 + 0x0A);
    const std::string hash_hex = "0a1b2c3d4e5f708192a3b4c5d6e7f8091a2b3c4d5e6f8091a2b3c4d5e6f70819";

    EXPECT_TRUE(pool.submit_share("job-1", 0, hash));
    EXPECT_TRUE(pool.submit_share("job-1", ~std::uint64_t{0}, hash));
    EXPECT_TRUE(pool.submit_share("a\"b\x02\n", 42, hash));
    EXPECT_EQ(drain(), R"({"id":2,"method":"submit","params":{"job_id":"job-1","nonce":0,"claimed_hash":")" +
                           hash_hex + "\"}}\n" +
                           R"({"id":3,"method":"submit","params":{"job_id":"job-1","nonce":18446744073709551615,"claimed_hash":")" +
                           hash_hex + "\"}}\n" +
                           R"({"id":4,"method":"submit","params":{"job_id":"a\"b\u0002\n","nonce":42,"claimed_hash":")" +
                           hash_hex + "\"}}\n");
    EXPECT_EQ(pool.next_submission_id(), 5u);
}

TEST_F(Protocol, WithoutAConnectionNothingIsSentButTheIdIsUsed) {
    std::uint8_t hash[32] = {};
    EXPECT_FALSE(pool.send_line("x"));
    EXPECT_FALSE(pool.submit_share("j", 1, hash));
    EXPECT_EQ(pool.next_submission_id(), 3u);
    wire();
    EXPECT_TRUE(pool.send_line("hello"));
    EXPECT_TRUE(pool.submit_share("j", 1, hash));
    const std::string wire_text = drain();
    EXPECT_EQ(wire_text.substr(0, 6), "hello\n");
    EXPECT_EQ(wire_text.substr(6, 8), R"({"id":3,)");
}

TEST_F(Protocol, SubmissionBoundToAnotherConnectionIsDropped) {
    wire();
    ASSERT_TRUE(reconnect(server));
    ASSERT_EQ(pool.connection_number(), 2u);
    std::uint8_t hash[32] = {};
    EXPECT_FALSE(pool.submit_share("old", 1, hash, 1));
    EXPECT_TRUE(pool.submit_share("new", 2, hash, 2));

    // The job-level entry refuses a job of the earlier connection before it
    // takes an id.
    Job old_job;
    old_job.job_id = "older";
    old_job.connection = 1;
    Job live_job;
    live_job.job_id = "live";
    live_job.connection = 2;
    EXPECT_FALSE(pool.submit(old_job, 3, hash));
    EXPECT_TRUE(pool.submit(live_job, 4, hash));

    const std::string wire_text = drain();
    EXPECT_EQ(wire_text.find("old"), std::string::npos);
    EXPECT_EQ(wire_text.rfind(R"({"id":3,"method":"submit","params":{"job_id":"new")", 0), 0u) << wire_text;
    EXPECT_NE(wire_text.find(R"({"id":4,"method":"submit","params":{"job_id":"live","nonce":4,)"), std::string::npos)
        << wire_text;
}

TEST_F(Protocol, ShareVerdicts) {
    struct Row {
        const char* line;
        bool accepted;
        const char* text;
    };
    const Row rows[] = {
        {R"({"id":5,"status":"OK"})", true, "OK"},
        {R"({"id":5,"status":"ok"})", true, "ok"},
        {R"({"id":5,"status":"accepted"})", true, "accepted"},
        {R"({"id":5})", true, ""},
        {R"({"id":5,"status":"Ok"})", false, ""},
        {R"({"id":5,"status":"accepted","error":"stale"})", false, "stale"},
        {R"({"id":5,"error":"low difficulty"})", false, "low difficulty"},
        {R"({"id":5,"error":null,"status":"OK"})", true, "OK"},
        {R"({"id":5,"error":"","status":"rejected"})", false, ""},
        {R"({"id":"1","status":"OK"})", true, "OK"},    // a string id reads as 0
        {R"({"id":1.0,"status":"OK"})", true, "OK"},    // so does a fraction
        {R"({"id":null,"status":"OK"})", true, "OK"},
        {R"({"method":"job","id":7})", true, ""},        // a job without params is a reply
        {R"({"method":"submit","id":9,"status":"OK"})", true, "OK"},
    };
    for (const Row& row : rows) {
        JsonValue message;
        ASSERT_TRUE(json_parse(row.line, message)) << row.line;
        const Verdict verdict = share_verdict(message);
        EXPECT_EQ(verdict.accepted, row.accepted) << row.line;
        EXPECT_EQ(verdict.text, row.text) << row.line;
    }
}

TEST_F(Protocol, IgnoredLinesLeaveNoTrace) {
    for (const char* line : {"", "garbage", "{\"id\":5", R"({"status":"OK"})", R"({"method":"job"})",
                             R"({"method":"notification"})", "[1,2]", "5", R"({"id":5}{"id":6})",
                             R"({"id":5} x)"}) {
        pool.handle_line(line);
    }
    EXPECT_TRUE(recorder.logs().empty());
    EXPECT_TRUE(recorder.shares().empty());
    EXPECT_EQ(pool.jobs_received(), 0u);
}

TEST_F(Protocol, Notices) {
    pool.handle_line(R"({"method":"notification","params":{}})");
    pool.handle_line(R"({"method":"notification","params":{"type":"maint"}})");
    pool.handle_line(R"({"method":"notification","params":{"type":"maint","kind":"restart"}})");
    pool.handle_line(R"({"method":"notification","params":{"type":"maint","kind":7}})");
    pool.handle_line(R"({"method":"notification","params":null})");
    EXPECT_EQ(recorder.logs(), (std::vector<std::string>{"pool notice: notification", "pool notice: maint",
                                                         "pool notice: restart", "pool notice: maint",
                                                         "pool notice: notification"}));
    EXPECT_TRUE(recorder.shares().empty());
}

TEST_F(Protocol, PoolTextsReachTheConsoleWithoutControlBytes) {
    pool.handle_line(R"({"method":"notification","params":{"kind":"a\u001b[2Jb\nc\u007f\u009bd — é"}})");
    pool.handle_line(R"({"id":1,"error":"bad\raddress\u0007"})");
    EXPECT_EQ(recorder.logs(), (std::vector<std::string>{"pool notice: a?[2Jb?c??d — é", "login refused: bad?address?"}));
    JsonValue verdict;
    ASSERT_TRUE(json_parse(R"({"id":9,"error":"stale\u001b[31m"})", verdict));
    EXPECT_EQ(share_verdict(verdict).text, "stale?[31m");
}

TEST_F(Protocol, LoginReplies) {
    pool.handle_line(R"({"id":1,"error":"bad address","result":{"job_id":"x"}})");
    EXPECT_EQ(recorder.logs(), std::vector<std::string>{"login refused: bad address"});
    EXPECT_EQ(pool.jobs_received(), 0u);

    recorder.clear();
    pool.handle_line(R"({"id":1,"result":null})");
    pool.handle_line(R"({"id":1})");
    pool.handle_line(R"({"id":1,"result":{"status":"OK"}})");
    pool.handle_line(R"({"method":"job","id":1})");
    pool.handle_line(R"({"id":+1})");
    EXPECT_EQ(recorder.logs(), std::vector<std::string>(5, "logged in"));
    EXPECT_EQ(pool.jobs_received(), 0u);

    recorder.clear();
    pool.handle_line(R"({"id":1,"error":null,"result":{"job_id":"L1","header_base":")" + header_hex(0x22) +
                     R"(","target":")" + std::string(64, '0') + R"(","height":77,"difficulty":9}})");
    EXPECT_EQ(recorder.logs(), (std::vector<std::string>{"new job \xE2\x80\x94 height 77, difficulty 9", "logged in"}));
    const Job job = pool.current_job();
    EXPECT_TRUE(job.valid);
    EXPECT_EQ(job.job_id, "L1");
    EXPECT_EQ(job.height, 77u);

    // A "job_id" of another kind still makes the result a job: one without a usable id.
    recorder.clear();
    pool.handle_line(R"({"id":1,"result":{"job_id":5,"header_base":")" + header_hex(0x22) + R"(","target":")" +
                     std::string(64, '0') + R"("}})");
    EXPECT_FALSE(pool.current_job().valid);
    EXPECT_EQ(recorder.logs().size(), 2u);
}

TEST_F(Protocol, JobFieldsAndNumbers) {
    std::string header;
    for (int i = 0; i < 92; ++i) {
        static constexpr char hex[] = "0123456789ABCDEF";
        header.push_back(hex[(i >> 4) & 0x0F]);
        header.push_back(hex[i & 0x0F]);
    }
    // The job arrives on the third connection and carries its number.
    wire();
    ASSERT_TRUE(reconnect(server));
    ASSERT_TRUE(reconnect(server));
    ASSERT_EQ(pool.connection_number(), 3u);
    deliver(R"({"method":"job","params":{"job_id":"J","header_base":")" + header + R"(","target":"00)" +
            std::string(62, 'E') + R"(","network_target":"0000)" + std::string(60, 'a') +
            R"(","height":"12","nonce_start":+7,"difficulty":99999999999999999999999}})");
    Job job = pool.current_job();
    EXPECT_EQ(job.seq, 1u);
    EXPECT_EQ(job.connection, 3u);
    EXPECT_EQ(job.job_id, "J");
    for (int i = 0; i < 92; ++i) EXPECT_EQ(job.header_base[i], i) << i;
    EXPECT_EQ(job.target[0], 0x00);
    EXPECT_EQ(job.target[31], 0xEE);
    EXPECT_EQ(job.network_target[1], 0x00);
    EXPECT_EQ(job.network_target[2], 0xAA);
    EXPECT_EQ(job.height, 0u);
    EXPECT_EQ(job.nonce_start, 7u);
    EXPECT_EQ(job.nonce_end, ~std::uint64_t{0});
    EXPECT_EQ(job.difficulty, ~std::uint64_t{0});
    EXPECT_TRUE(job.valid);

    for (const char* height : {"1.5", "-3", "1e2", "null", "\"7\""}) {
        deliver(full_job(std::string(R"(,"height":)") + height + R"(,"nonce_end":5)"));
        job = pool.current_job();
        EXPECT_EQ(job.height, 0u) << height;
        EXPECT_EQ(job.nonce_end, 5u);
    }
    // The five messages carry the same job (id, header, target and range):
    // it keeps the number it got first, so the walk is not restarted.
    EXPECT_EQ(job.seq, 2u);
    EXPECT_EQ(pool.jobs_received(), 6u);

    deliver(full_job(R"(,"job_id":"dup","height":18446744073709551616)"));
    job = pool.current_job();
    EXPECT_EQ(job.job_id, "abc");  // the first "job_id" counts
    EXPECT_EQ(job.height, ~std::uint64_t{0});
}

TEST_F(Protocol, NetworkTargetDecoding) {
    auto network_target_of = [this](const std::string& member) {
        pool.handle_line(full_job(member));
        return pool.current_job().network_target;
    };
    const std::array<std::uint8_t, 32> zero{};
    EXPECT_EQ(network_target_of(""), zero);
    EXPECT_EQ(network_target_of(R"(,"network_target":")" + std::string(63, 'f') + "\""), zero);
    EXPECT_EQ(network_target_of(R"(,"network_target":")" + std::string(65, 'f') + "\""), zero);
    EXPECT_EQ(network_target_of(R"(,"network_target":5)"), zero);

    std::array<std::uint8_t, 32> all_ff;
    all_ff.fill(0xFF);
    EXPECT_EQ(network_target_of(R"(,"network_target":")" + std::string(32, 'F') + std::string(32, 'f') + "\""), all_ff);

    // Decoding stops at the pair holding the first non-hexadecimal character.
    const auto partial = network_target_of(R"(,"network_target":"12345x)" + std::string(58, '9') + "\"");
    std::array<std::uint8_t, 32> expected{};
    expected[0] = 0x12;
    expected[1] = 0x34;
    EXPECT_EQ(partial, expected);
}

TEST_F(Protocol, BadHeaderOrTargetLeavesTheSlotAlone) {
    pool.handle_line(job_line(5, "good", 40));
    const Job before = pool.current_job();
    ASSERT_TRUE(before.valid);
    recorder.clear();

    const std::string good_header = header_hex(1);
    const std::string good_target(64, 'f');
    auto job_with = [](const std::string& header, const std::string& target) {
        return R"({"method":"job","params":{"job_id":"bad","difficulty":7,"header_base":")" + header +
               R"(","target":")" + target + R"("}})";
    };
    std::string non_hex = good_header;
    non_hex[100] = 'g';
    const std::vector<std::string> lines = {
        job_with(good_header.substr(0, 182), good_target),
        job_with(good_header + "00", good_target),
        job_with(non_hex, good_target),
        job_with(good_header, good_target.substr(0, 63)),
        job_with(good_header, good_target + "0"),
        job_with(good_header, std::string(63, 'f') + " "),
        R"({"method":"job","params":{"job_id":"bad","target":")" + good_target + R"("}})",
        R"({"method":"job","params":{"job_id":"bad","header_base":")" + good_header + R"("}})",
        R"({"method":"job","params":[1,2]})",
        R"({"method":"job","params":"x"})",
    };
    for (const auto& line : lines) pool.handle_line(line);
    EXPECT_EQ(recorder.logs(), std::vector<std::string>(lines.size(), "job rejected: bad header_base/target"));
    const Job after = pool.current_job();
    EXPECT_EQ(pool.jobs_received(), 1u);
    EXPECT_EQ(after.seq, before.seq);
    EXPECT_EQ(after.job_id, "good");
    EXPECT_TRUE(after.valid);
    EXPECT_EQ(after.header_base, before.header_base);
    EXPECT_NE(pool.login_line().find(R"("difficulty_hint":40})"), std::string::npos);
}

TEST_F(Protocol, JobWithEmptyIdIsStoredButNotValid) {
    pool.handle_line(job_line(3, "x"));
    recorder.clear();
    pool.handle_line(R"({"method":"job","params":{"job_id":"","header_base":")" + header_hex(0) + R"(","target":")" +
                     std::string(64, 'f') + R"(","height":4}})");
    EXPECT_EQ(recorder.logs(), std::vector<std::string>{"new job \xE2\x80\x94 height 4, difficulty 0"});
    const Job job = pool.current_job();
    EXPECT_FALSE(job.valid);
    EXPECT_EQ(job.seq, 2u);
    EXPECT_EQ(job.height, 4u);
}

// Workers copy the slot while jobs arrive: every copy must be one whole job.
TEST_F(Protocol, JobCopiesAreNeverMixed) {
    constexpr std::uint64_t jobs = 3000;
    std::vector<std::string> lines;
    for (std::uint64_t h = 1; h <= jobs; ++h) lines.push_back(job_line(h));
    pool.set_callbacks(nullptr, nullptr);

    std::atomic<bool> done{false};
    std::atomic<int> mixed{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!done.load()) {
                const Job job = pool.current_job();
                if (job.seq == 0) continue;
                const auto h = job.height;
                const bool whole = job.seq == h && job.job_id == "j" + std::to_string(h) &&
                                   job.header_base[0] == static_cast<std::uint8_t>(h) &&
                                   job.header_base[91] == static_cast<std::uint8_t>(h) &&
                                   job.target[31] == static_cast<std::uint8_t>(h + 1) && job.nonce_start == h * 1000;
                if (!whole) mixed.fetch_add(1);
            }
        });
    }
    for (const auto& line : lines) pool.handle_line(line);
    done = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(mixed.load(), 0);
    EXPECT_EQ(pool.current_job().seq, jobs);
}
