#include "app/self_test_report.hpp"

#include "console/console.hpp"

namespace nolu::qxt {

namespace {

std::string threads_text(int n) { return std::to_string(n) + (n == 1 ? " thread" : " threads"); }

}  // namespace

bool self_test_runs(const MiningPlan& plan) {
    return plan.self_test && plan.settings.rebuild;
}

std::string describe_hashing(const EngineRow& engine, const HashSettings& settings, int lanes) {
    std::string text = std::string("engine ") + engine.name;
    text += skip_store_on(settings) ? " · skip-store from " + std::to_string(skip_permille(settings)) + " ‰"
                                    : std::string(" · full arena");
    if (side_slots(settings) > 0) text += " · side cache " + std::to_string(side_slots(settings)) + " slots";
    if (ref_table_entries(settings) > 0) text += " · reference table";
    if (lanes > 1) text += " · " + std::to_string(lanes) + " lanes";
    return text;
}

std::string self_test_failure_line(int thread, int cpu, const std::string& hashing) {
    return "thread " + std::to_string(thread) + (cpu >= 0 ? " (cpu " + std::to_string(cpu) + ")" : "") +
           " stopped: self-test hash WRONG with " + hashing +
           " — the processor or memory is unstable (overclock, undervolt, heat?)";
}

Outcome<Done> report_self_test(const Setup& setup, const MiningPlan& plan, const StartupCounters& counters,
                               int threads) {
    if (!plan.self_test) {
        log_line(colours.grey, "check", "self-test skipped (--no-self-test)");
        return Done{};
    }
    if (!plan.settings.rebuild) {
        log_line(colours.grey, "check", "self-test skipped: --skip-norebuild computes wrong hashes");
        return Done{};
    }
    const int passed = counters.ready.load();
    const int failed = counters.self_test_failed.load();
    if (passed + failed + counters.failed.load() < threads || passed + failed == 0) return Done{};
    const std::string hashing = describe_hashing(*setup.engine, plan.settings, plan.lanes);
    if (passed == 0)
        return self_test_failure("self-test failed on every thread: not mining with a machine that computes "
                                 "wrong hashes");
    if (failed == 0) {
        log_line(colours.grey, "check", "self-test passed on " + threads_text(passed) + " · " + hashing);
    } else {
        log_line(colours.red, "check",
                 "self-test passed on " + std::to_string(passed) + " of " + threads_text(passed + failed) + " · " +
                     hashing + " — going on with " + threads_text(passed));
    }
    return Done{};
}

}  // namespace nolu::qxt
