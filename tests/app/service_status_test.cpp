#include "app/service_status.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace kestd {
namespace {

using step = service_status::step;

std::vector<service_status_record> reports(service_status& status,
                                           std::initializer_list<step> steps) {
    std::vector<service_status_record> sent;
    for (const step s : steps) {
        status.report(s, [&](const service_status_record& r) { sent.push_back(r); });
    }
    return sent;
}

TEST(ServiceStatus, ALifeWithTwoStopRequestsCountsItsCheckPoints) {
    service_status status;
    const auto sent = reports(status, {step::registered, step::running, step::stop_requested,
                                       step::stop_requested, step::stopped});
    ASSERT_EQ(sent.size(), 5u);
    for (const auto& r : sent) {
        EXPECT_EQ(r.service_type, 16u);
        EXPECT_EQ(r.service_specific_exit_code, 0u);
    }
    // state, controls accepted, check point, wait hint
    EXPECT_EQ(std::tie(sent[0].current_state, sent[0].controls_accepted, sent[0].check_point,
                       sent[0].wait_hint),
              std::make_tuple(2u, 0u, 1u, 3000u));
    EXPECT_EQ(std::tie(sent[1].current_state, sent[1].controls_accepted, sent[1].check_point,
                       sent[1].wait_hint),
              std::make_tuple(4u, 1u, 0u, 0u));
    EXPECT_EQ(std::tie(sent[2].current_state, sent[2].controls_accepted, sent[2].check_point),
              std::make_tuple(3u, 1u, 2u));
    EXPECT_EQ(sent[3].check_point, 3u) << "each stop-pending report takes the next value";
    EXPECT_EQ(std::tie(sent[4].current_state, sent[4].controls_accepted, sent[4].check_point,
                       sent[4].win32_exit_code),
              std::make_tuple(1u, 1u, 0u, 0u));
    EXPECT_TRUE(status.stop_was_requested());
}

TEST(ServiceStatus, EndingUnaskedIsReportedAsAFailure) {
    service_status status;
    const auto sent = reports(status, {step::registered, step::running, step::stopped});
    EXPECT_EQ(sent.back().current_state, 1u);
    EXPECT_EQ(sent.back().win32_exit_code, 1066u);
    EXPECT_EQ(sent.back().service_specific_exit_code, 1u);
    EXPECT_FALSE(status.stop_was_requested());
}

TEST(ServiceStatus, ReportsFromTwoThreadsNeverShareACheckPoint) {
    service_status status;
    std::vector<std::uint32_t> points;
    std::mutex mutex;
    const auto report_many = [&](step s) {
        for (int i = 0; i < 1000; ++i) {
            status.report(s, [&](const service_status_record& r) {
                std::lock_guard lock(mutex);
                points.push_back(r.check_point);
            });
        }
    };
    std::thread other([&] { report_many(step::stop_requested); });
    report_many(step::registered);
    other.join();
    // Sent under the status's lock, so they reach the manager in the order they were made.
    for (std::size_t i = 0; i < points.size(); ++i) EXPECT_EQ(points[i], i + 1);
}

}  // namespace
}  // namespace kestd
