// The floor of the remote figures: a bare Cyclone DDS one-way trip of the robot's own state
// message (LowState_ of `joints` joints), with the topic QoS and interface set-up of the
// robot service, and nothing of the robot layer. The writer stamps each sample with its
// CLOCK_MONOTONIC send time; the reader, on another namespace of the same machine (one
// clock), prints each sample's age on arrival.
//
//   dds_floor write COUNT PERIOD_US [JOINTS]   waits up to 10 s for the reader, then writes
//   dds_floor read COUNT SECONDS               prints "sequence age_us" per sample
//
// DDS uses the interface DRIVELINK_DDS_INTERFACE names (default lo).
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "dds_support.h"

namespace {

using namespace dds_support;
constexpr const char* kRobotName = "dds_floor";

double monotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

int writeSamples(dds_entity_t participant, dds_entity_t topic, long count, long periodUs, int joints) {
  const dds_entity_t writer = createWriter(participant, topic, Flow::State);
  dds_publication_matched_status_t matched{};
  for (int waited = 0; matched.current_count == 0 && waited < 1000; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    dds_get_publication_matched_status(writer, &matched);
  }
  if (matched.current_count == 0) {
    std::fprintf(stderr, "dds_floor: no reader within 10 s\n");
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the reader's side of the match
  std::vector<double> pos(joints), vel(joints), tau(joints);
  LowStateMsg message{};
  message.pos = viewOf(pos.data(), joints);
  message.vel = viewOf(vel.data(), joints);
  message.tau = viewOf(tau.data(), joints);
  auto next = std::chrono::steady_clock::now();
  for (long i = 1; i <= count; ++i) {
    next += std::chrono::microseconds(periodUs);
    std::this_thread::sleep_until(next);
    message.reply_sequence = static_cast<uint64_t>(i);
    message.receive_time = monotonicSeconds();
    check(dds_write(writer, &message), "dds_floor: write");
  }
  return 0;
}

int readSamples(dds_entity_t participant, dds_entity_t topic, long count, double seconds) {
  const dds_entity_t reader = createReader(participant, topic, Flow::State);
  const dds_entity_t waitset = check(dds_create_waitset(participant), "dds_floor: waitset");
  check(dds_waitset_attach(waitset, check(dds_create_readcondition(reader, DDS_ANY_STATE), "dds_floor: condition"), 0),
        "dds_floor: attach");
  std::printf("ready\n");
  std::fflush(stdout);
  const double end = monotonicSeconds() + seconds;
  long got = 0;
  while (got < count && monotonicSeconds() < end) {
    dds_waitset_wait(waitset, nullptr, 0, DDS_MSECS(50));
    void* samples[1] = {};
    dds_sample_info_t info;
    while (dds_take(reader, samples, &info, 1, 1) > 0) {
      const double now = monotonicSeconds();
      if (info.valid_data) {
        const auto& message = *static_cast<const LowStateMsg*>(samples[0]);
        std::printf("%llu %.2f\n", static_cast<unsigned long long>(message.reply_sequence),
                    1e6 * (now - message.receive_time));
        ++got;
      }
      dds_return_loan(reader, samples, 1);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: dds_floor write COUNT PERIOD_US [JOINTS] | dds_floor read COUNT SECONDS\n");
    return 2;
  }
  try {
    const std::string mode = argv[1];
    const Entity participant = createParticipant(0, ddsInterfaceFromEnvironment());
    const RobotTopics topics = createTopics(participant.get(), kRobotName);
    if (mode == "write")
      return writeSamples(participant.get(), topics.lowState, std::atol(argv[2]), std::atol(argv[3]),
                          argc > 4 ? std::atoi(argv[4]) : 10);
    if (mode == "read") return readSamples(participant.get(), topics.lowState, std::atol(argv[2]), std::atof(argv[3]));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  return 2;
}
