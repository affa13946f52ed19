// A small driver for testing the simulated kernel: DriverEntry makes
// \Device\TESTDEV and \DosDevices\TESTDEV, and every device-control request
// runs the test's handler inside the driver, so that what the handler does
// happens in a driver's context (faults are caught where NT would stop).
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "sim/kernel/kernel.h"

namespace testdrv {

struct Config {
  bool exclusive = true;
  bool register_ioctl = true;
  bool unload_routine = true;
  NTSTATUS create_status = STATUS_SUCCESS;
  ULONG characteristics = 0;  // IoCreateDevice's DeviceCharacteristics
};

inline Config g_config;
inline std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> g_ioctl;
inline std::vector<UCHAR> g_majors_seen;
// Runs in the create routine, before the open is completed.
inline std::function<void(PIRP)> g_create_hook;

struct Name {
  ANSI_STRING ansi{};
  UNICODE_STRING wide{};
  explicit Name(const char* text) {
    RtlInitAnsiString(&ansi, text);
    RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE);
  }
  ~Name() { RtlFreeUnicodeString(&wide); }
  PUNICODE_STRING get() { return &wide; }
};

inline NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  g_majors_seen.push_back(stack->MajorFunction);
  if (stack->MajorFunction == IRP_MJ_CREATE && g_create_hook) g_create_hook(Irp);
  Irp->IoStatus.Status = stack->MajorFunction == IRP_MJ_CREATE ? g_config.create_status : STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  NTSTATUS status = Irp->IoStatus.Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

inline NTSTATUS NTAPI DispatchIoctl(PDEVICE_OBJECT Device, PIRP Irp) {
  if (g_ioctl) return g_ioctl(Device, Irp);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

inline VOID NTAPI Unload(PDRIVER_OBJECT Driver) {
  Name link("\\DosDevices\\TESTDEV");
  IoDeleteSymbolicLink(link.get());
  while (Driver->DeviceObject != nullptr) IoDeleteDevice(Driver->DeviceObject);
}

inline NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  Name device_name("\\Device\\TESTDEV");
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(Driver, 16, device_name.get(), FILE_DEVICE_UNKNOWN, g_config.characteristics,
                                   g_config.exclusive ? TRUE : FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  Name link("\\DosDevices\\TESTDEV");
  status = IoCreateSymbolicLink(link.get(), device_name.get());
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  Driver->MajorFunction[IRP_MJ_CREATE] = Dispatch;
  Driver->MajorFunction[IRP_MJ_CLOSE] = Dispatch;
  Driver->MajorFunction[IRP_MJ_CLEANUP] = Dispatch;
  if (g_config.register_ioctl) Driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchIoctl;
  if (g_config.unload_routine) Driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

inline constexpr const char* kRegistryPath = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TESTDRV";
inline constexpr ULONG kCode = CTL_CODE(0x8000, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

// A kernel with the test driver loaded and its device open.
class Fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    g_config = {};
    g_ioctl = nullptr;
    g_create_hook = nullptr;
    g_majors_seen.clear();
  }
  void TearDown() override {
    g_ioctl = nullptr;
    g_create_hook = nullptr;
  }

  void load() {
    ASSERT_EQ(kernel.load_driver(DriverEntry, kRegistryPath), STATUS_SUCCESS);
    auto opened = kernel.open("\\\\.\\TESTDEV");
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    handle = opened.handle;
  }

  // Runs `body` inside the driver, in a device-control request.
  sim::kernel::IoResult in_driver(std::function<void()> body) {
    g_ioctl = [body](PDEVICE_OBJECT, PIRP Irp) {
      body();
      Irp->IoStatus.Status = STATUS_SUCCESS;
      Irp->IoStatus.Information = 0;
      IofCompleteRequest(Irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    };
    auto result = kernel.device_io_control(handle, kCode, {}, 0);
    g_ioctl = nullptr;
    return result;
  }

  sim::kernel::LeakReport unload() {
    kernel.close(handle);
    return kernel.unload_driver();
  }

  sim::kernel::Kernel kernel;
  sim::kernel::Handle handle = -1;
};

}  // namespace testdrv
