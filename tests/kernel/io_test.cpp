// The I/O manager's buffered device control and its checks of the driver.
#include <thread>

#include "tests/kernel/test_driver.h"

namespace {

using namespace testdrv;
using sim::kernel::kSystemBufferPoison;

class IoTest : public Fixture {};

TEST_F(IoTest, OneSystemBufferOfTheLargerLengthWithPoisonBeyondTheInput) {
  load();
  std::vector<std::uint8_t> seen;
  ULONG in_len = 0, out_len = 0, code = 0;
  g_ioctl = [&](PDEVICE_OBJECT, PIRP Irp) {
    auto* stack = IoGetCurrentIrpStackLocation(Irp);
    in_len = stack->Parameters.DeviceIoControl.InputBufferLength;
    out_len = stack->Parameters.DeviceIoControl.OutputBufferLength;
    code = stack->Parameters.DeviceIoControl.IoControlCode;
    auto* buffer = static_cast<std::uint8_t*>(Irp->AssociatedIrp.SystemBuffer);
    seen.assign(buffer, buffer + std::max(in_len, out_len));
    buffer[0] = 0xAA;  // results overwrite the input at the start
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 6;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  const std::vector<std::uint8_t> input{1, 2, 3, 4};
  auto r = kernel.device_io_control(handle, kCode, input, 16);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(in_len, 4u);
  EXPECT_EQ(out_len, 16u);
  EXPECT_EQ(code, kCode);
  ASSERT_EQ(seen.size(), 16u);
  EXPECT_EQ(std::vector<std::uint8_t>(seen.begin(), seen.begin() + 4), input);
  for (std::size_t i = 4; i < 16; ++i) EXPECT_EQ(seen[i], kSystemBufferPoison) << i;
  // Exactly Information bytes come back, from the start of the buffer.
  EXPECT_EQ(r.information, 6u);
  EXPECT_EQ(r.output, (std::vector<std::uint8_t>{0xAA, 2, 3, 4, kSystemBufferPoison, kSystemBufferPoison}));

  // Input longer than the output: the buffer has the input's length.
  seen.clear();
  auto r2 = kernel.device_io_control(handle, kCode, std::vector<std::uint8_t>(32, 7), 8);
  EXPECT_EQ(seen.size(), 32u);
  EXPECT_EQ(r2.output.size(), 6u);
  EXPECT_TRUE(unload().empty());
  EXPECT_TRUE(kernel.driver_faults().empty());
}

TEST_F(IoTest, InformationBeyondTheOutputIsCaughtAndErrorsCopyNothing) {
  load();
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  g_ioctl = [&](PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
  };
  information = 9;
  auto over = kernel.device_io_control(handle, kCode, std::vector<std::uint8_t>(24, 0), 8);
  EXPECT_TRUE(over.faulted);
  EXPECT_TRUE(over.output.empty());
  ASSERT_EQ(kernel.driver_faults().size(), 1u);
  EXPECT_NE(kernel.driver_faults()[0].find("exceeds the output buffer length 8"), std::string::npos);
  kernel.clear_driver_faults();

  status = STATUS_NOT_SUPPORTED;  // an error status: nothing is copied back
  auto error = kernel.device_io_control(handle, kCode, std::vector<std::uint8_t>(24, 0), 8);
  EXPECT_EQ(error.status, STATUS_NOT_SUPPORTED);
  EXPECT_FALSE(error.faulted);
  EXPECT_TRUE(error.output.empty());
  EXPECT_EQ(sim::kernel::nt_status_to_win32_error(error.status), 50u);
  EXPECT_TRUE(kernel.driver_faults().empty());
  EXPECT_TRUE(unload().empty());
}

TEST_F(IoTest, RequestsMustBeCompletedExactlyOnceBeforeReturning) {
  load();
  int completions = 0;
  g_ioctl = [&](PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    for (int i = 0; i < completions; ++i) IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  completions = 0;
  EXPECT_TRUE(kernel.device_io_control(handle, kCode, {}, 0).faulted);
  completions = 2;
  EXPECT_TRUE(kernel.device_io_control(handle, kCode, {}, 0).faulted);
  completions = 1;
  EXPECT_FALSE(kernel.device_io_control(handle, kCode, {}, 0).faulted);
  auto faults = kernel.driver_faults();
  ASSERT_EQ(faults.size(), 2u);
  EXPECT_NE(faults[0].find("not completed"), std::string::npos);
  EXPECT_NE(faults[1].find("completed twice"), std::string::npos);
  EXPECT_TRUE(unload().empty());
}

TEST_F(IoTest, SeveralClientThreadsShareOneHandle) {
  load();
  g_ioctl = [](PDEVICE_OBJECT, PIRP Irp) {
    auto* buffer = static_cast<ULONG*>(Irp->AssociatedIrp.SystemBuffer);
    KeStallExecutionProcessor(1);
    buffer[0] = buffer[0] * 2;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 4;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  std::atomic<int> wrong{0};
  auto client = [&](ULONG base) {
    for (ULONG i = 0; i < 200; ++i) {
      ULONG value = base + i;
      auto r = kernel.device_io_control(handle, kCode, {reinterpret_cast<std::uint8_t*>(&value), 4}, 4);
      ULONG doubled = 0;
      if (r.output.size() == 4) std::memcpy(&doubled, r.output.data(), 4);
      if (r.status != STATUS_SUCCESS || doubled != value * 2) ++wrong;
    }
  };
  std::thread one(client, 1000), two(client, 5000);
  one.join();
  two.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(kernel.now_us(), 400u);
  EXPECT_TRUE(unload().empty());
  EXPECT_TRUE(kernel.driver_faults().empty());
}

}  // namespace
