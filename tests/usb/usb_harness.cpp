#include "usb/usb_harness.h"

namespace usbtest {

std::vector<sim::FaultRecord> RunMachine(uint64_t seed, const std::function<void()> &body) {
  sim::KernelOptions options = sim::KernelOptions::FromEnvironment();
  options.seed = seed;
  sim::Kernel kernel(options);
  kernel.Run(body);
  kernel.Shutdown();
  return kernel.Faults();
}

std::string FaultText(const std::vector<sim::FaultRecord> &faults) {
  std::string text;
  for (const sim::FaultRecord &f : faults) text += std::string(sim::FaultName(f.kind)) + " in " + f.routine + ": " + f.detail + "\n";
  return text;
}

NTSTATUS NTAPI Call::HaltCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  Call *call = static_cast<Call *>(context);
  call->completion_.irql = KeGetCurrentIrql();
  call->completion_.thread = KeGetCurrentThread();
  call->completion_.at100ns = sim::Now100ns();
  call->completion_.insideCall = call->inCall_;
  KeSetEvent(&call->done_, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

Call::Call(PDEVICE_OBJECT pdo) : pdo_(pdo) {
  irp_ = IoAllocateIrp(pdo->StackSize, FALSE);
  KeInitializeEvent(&done_, NotificationEvent, FALSE);
}

Call::~Call() { IoFreeIrp(irp_); }

PIO_STACK_LOCATION Call::Prepare(UCHAR major, UCHAR minor) {
  PIRP irp = irp_;
  KeClearEvent(&done_);
  completion_ = Completion();
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  memset(next, 0, sizeof *next);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  IoSetCompletionRoutine(irp, HaltCompletion, this, TRUE, TRUE, TRUE);
  return next;
}

NTSTATUS Call::Send(bool power) {
  submitter_ = KeGetCurrentThread();
  inCall_ = true;
  NTSTATUS status = power ? PoCallDriver(pdo_, irp_) : IofCallDriver(pdo_, irp_);
  inCall_ = false;
  return status;
}

NTSTATUS Call::Submit(PURB urb) {
  PIO_STACK_LOCATION next = Prepare(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0);
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  return Send(false);
}

NTSTATUS Call::SubmitPnp(UCHAR minor, PDEVICE_CAPABILITIES caps) {
  PIO_STACK_LOCATION next = Prepare(IRP_MJ_PNP, minor);
  next->Parameters.DeviceCapabilities.Capabilities = caps;
  return Send(false);
}

NTSTATUS Call::SubmitPower(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
  PIO_STACK_LOCATION next = Prepare(IRP_MJ_POWER, minor);
  next->Parameters.Power.Type = type;
  next->Parameters.Power.State = state;
  return Send(true);
}

NTSTATUS Call::SubmitWaitWake(SYSTEM_POWER_STATE state) {
  PIO_STACK_LOCATION next = Prepare(IRP_MJ_POWER, IRP_MN_WAIT_WAKE);
  next->Parameters.WaitWake.PowerState = state;
  return Send(true);
}

bool Call::Done() { return KeReadStateEvent(&done_) != 0; }

bool Call::Wait(uint32_t ms) {
  if (ms == 0) return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS;
  LARGE_INTEGER timeout;
  timeout.QuadPart = -int64_t(ms) * 10000;
  return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

NTSTATUS SendUrb(PDEVICE_OBJECT pdo, PURB urb) {
  Call call(pdo);
  call.Submit(urb);
  call.Wait();
  return call.Status();
}

NTSTATUS SendBuiltUrb(PDEVICE_OBJECT pdo, PURB urb) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb = {};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE, &event,
                                           &iosb);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS status = IofCallDriver(pdo, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  return status;
}

void BuildDescriptorUrb(URB *urb, UCHAR type, PVOID buffer, ULONG length) {
  memset(urb, 0, sizeof *urb);
  UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buffer, nullptr,
                               length, nullptr);
}

void BuildVendorUrb(URB *urb, bool in, UCHAR request, USHORT value, PVOID buffer, ULONG length) {
  memset(urb, 0, sizeof *urb);
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST &v = urb->UrbControlVendorClassRequest;
  v.Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  v.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
  v.TransferFlags = in ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : 0;
  v.TransferBuffer = buffer;
  v.TransferBufferLength = length;
  v.RequestTypeReservedBits = 0x40;
  v.Request = request;
  v.Value = value;
}

void BuildResetPipeUrb(URB *urb, USBD_PIPE_HANDLE pipe) {
  memset(urb, 0, sizeof *urb);
  urb->UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb->UrbPipeRequest.Hdr.Function = URB_FUNCTION_RESET_PIPE;
  urb->UrbPipeRequest.PipeHandle = pipe;
}

void BuildBulkUrb(URB *urb, USBD_PIPE_HANDLE pipe, bool in, PVOID buffer, ULONG length) {
  memset(urb, 0, sizeof *urb);
  ULONG flags = in ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_SHORT_TRANSFER_OK;
  UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer, nullptr,
                                         length, flags, nullptr);
}

NTSTATUS Configure(PDEVICE_OBJECT pdo, Pipes *pipes, ULONG maximumTransfer) {
  URB urb;
  std::vector<uint8_t> header(9);
  BuildDescriptorUrb(&urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, header.data(), 9);
  NTSTATUS status = SendUrb(pdo, &urb);
  if (!NT_SUCCESS(status)) return status;
  std::vector<uint8_t> config(header[2] | (header[3] << 8));
  BuildDescriptorUrb(&urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, config.data(), ULONG(config.size()));
  status = SendUrb(pdo, &urb);
  if (!NT_SUCCESS(status)) return status;
  PUSB_CONFIGURATION_DESCRIPTOR descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
  USBD_INTERFACE_LIST_ENTRY list[2] = {};
  list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, -1, -1, -1, -1, -1);
  if (list[0].InterfaceDescriptor == nullptr) return STATUS_DEVICE_CONFIGURATION_ERROR;
  PURB select = USBD_CreateConfigurationRequestEx(descriptor, list);
  if (select == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i) list[0].Interface->Pipes[i].MaximumTransferSize = maximumTransfer;
  status = SendUrb(pdo, select);
  if (NT_SUCCESS(status) && pipes != nullptr && list[0].Interface->NumberOfPipes >= 2) {
    pipes->out = list[0].Interface->Pipes[0].PipeHandle;
    pipes->in = list[0].Interface->Pipes[1].PipeHandle;
  }
  ExFreePool(select);
  return status;
}

NTSTATUS Unconfigure(PDEVICE_OBJECT pdo) {
  URB urb;
  memset(&urb, 0, sizeof urb);
  urb.UrbSelectConfiguration.Hdr.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
  urb.UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  return SendUrb(pdo, &urb);
}

void Sleep(uint32_t ms) {
  LARGE_INTEGER interval;
  interval.QuadPart = -int64_t(ms) * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

POWER_STATE DeviceState(DEVICE_POWER_STATE state) {
  POWER_STATE p;
  p.DeviceState = state;
  return p;
}

POWER_STATE SystemState(SYSTEM_POWER_STATE state) {
  POWER_STATE p;
  p.SystemState = state;
  return p;
}

NTSTATUS SetPower(PDEVICE_OBJECT pdo, POWER_STATE_TYPE type, POWER_STATE state) {
  Call call(pdo);
  call.SubmitPower(IRP_MN_SET_POWER, type, state);
  call.Wait();
  return call.Status();
}

}  // namespace usbtest
