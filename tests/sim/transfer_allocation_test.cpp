// The transfer makes no heap allocation per packet: a whole run of the update
// sequence, 6400 update packets over the real Ethernet link to the in-process
// simulator, counted by a replacement of the global allocation functions.

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <new>
#include <sstream>
#include <vector>

#include "app/update_sequence.h"
#include "link/ethernet_update_comm.h"
#include "tests/support/capture.h"
#include "tests/support/temp_dir.h"
#include "tools/readersim/simulator.h"

namespace {

// Only the thread under test counts: the simulator's thread allocates freely.
thread_local bool tCounting = false;
thread_local size_t tAllocations = 0;

void* Allocate(std::size_t size) {
  if (tCounting) ++tAllocations;
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void* AllocateNoThrow(std::size_t size) noexcept {
  if (tCounting) ++tAllocations;
  return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

// Every form the program uses, so that allocation and release stay paired
// (the sanitizer checks that they match).
void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return AllocateNoThrow(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return AllocateNoThrow(size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}

namespace modflash::sim {
namespace {

TEST(TransferAllocationTest, WholeRunAllocatesFarLessThanOncePerPacket) {
  std::ostringstream log;
  SimOptions options;
  options.port = 0;
  options.rateRestartMs = 20;
  options.prepareRestartMs = 20;
  options.completeRestartMs = 20;
  options.log = &log;
  Simulator sim(options);
  ASSERT_TRUE(sim.Start());
  const std::vector<uint8_t> image = testing::MakeImage(1, 2, 3);

  testing::StdoutCapture out;
  UpdateController controller(
      std::make_unique<EthernetUpdateComm>("127.0.0.1", sim.port()));
  // The counter sees what this thread allocates.
  tAllocations = 0;
  tCounting = true;
  auto probe = std::make_unique<std::vector<int>>(100);
  ASSERT_EQ(tAllocations, 2u);
  probe.reset();
  // The earlier revision: one restart wait only, the same transfer loop.
  tAllocations = 0;
  FirmwareImage firmware;
  firmware.codeBuffer = image.data();
  firmware.version = FirmwareVersion{1, 2, 3};
  const int status = RunUpdateSteps(controller, "127.0.0.1", false, firmware,
                                    Revision::kEarlier);
  tCounting = false;
  const std::string printed = out.Take();
  ASSERT_EQ(status, 0) << printed;
  EXPECT_EQ(sim.Flash(), image);
  // 6400 packets; a handful of allocations at most for the whole run.
  EXPECT_LT(tAllocations, 64u);
  std::cerr << "[ figures  ] allocations on the programmer's thread for a "
               "whole run of 6400 packets: "
            << tAllocations << "\n";
}

}  // namespace
}  // namespace modflash::sim
