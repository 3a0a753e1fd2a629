#include "serial/control.h"

// Stores Size bytes from the request into Field.
static NTSTATUS SetFromInput(PIRP Irp, ULONG InputLength, PVOID Field, ULONG Size)
{
    PVOID buffer;
    NTSTATUS status = CheckSystemBuffer(Irp, InputLength, Size, &buffer);
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(Field, buffer, Size);
    }
    return status;
}

// Returns Size bytes of Field to the request.
static NTSTATUS GetToOutput(PIRP Irp, ULONG OutputLength, const void* Field, ULONG Size,
                            ULONG_PTR* Information)
{
    PVOID buffer;
    NTSTATUS status = CheckSystemBuffer(Irp, OutputLength, Size, &buffer);
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(buffer, Field, Size);
        *Information = Size;
    }
    return status;
}

static NTSTATUS GetCommStatus(PDEVICE_EXTENSION ext, PIRP Irp, ULONG OutputLength,
                              ULONG_PTR* Information)
{
    SERIAL_STATUS status;
    RtlZeroMemory(&status, sizeof(status));
    status.AmountInInQueue = static_cast<ULONG>(InterlockedExchangeAdd(&ext->RingCount, 0));
    return GetToOutput(Irp, OutputLength, &status, sizeof(status), Information);
}

NTSTATUS SettingsControl(PDEVICE_EXTENSION ext, PIRP Irp, ULONG_PTR* Information)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG value;

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        return SetFromInput(Irp, in, &ext->BaudRate, sizeof(ULONG));
    case IOCTL_SERIAL_GET_BAUD_RATE:
        return GetToOutput(Irp, out, &ext->BaudRate, sizeof(ULONG), Information);
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
        return SetFromInput(Irp, in, &ext->QueueSize, sizeof(SERIAL_QUEUE_SIZE));
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        return SetFromInput(Irp, in, &ext->LineControl, sizeof(SERIAL_LINE_CONTROL));
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        return GetToOutput(Irp, out, &ext->LineControl, sizeof(SERIAL_LINE_CONTROL), Information);
    case IOCTL_SERIAL_SET_TIMEOUTS:
        return SetFromInput(Irp, in, &ext->Timeouts, sizeof(SERIAL_TIMEOUTS));
    case IOCTL_SERIAL_GET_TIMEOUTS:
        return GetToOutput(Irp, out, &ext->Timeouts, sizeof(SERIAL_TIMEOUTS), Information);
    case IOCTL_SERIAL_SET_CHARS:
        return SetFromInput(Irp, in, &ext->SpecialChars, sizeof(SERIAL_CHARS));
    case IOCTL_SERIAL_GET_CHARS:
        return GetToOutput(Irp, out, &ext->SpecialChars, sizeof(SERIAL_CHARS), Information);
    case IOCTL_SERIAL_SET_HANDFLOW:
        return SetFromInput(Irp, in, &ext->HandFlow, sizeof(SERIAL_HANDFLOW));
    case IOCTL_SERIAL_GET_HANDFLOW:
        return GetToOutput(Irp, out, &ext->HandFlow, sizeof(SERIAL_HANDFLOW), Information);
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        return GetToOutput(Irp, out, &ext->ModemStatus, sizeof(ULONG), Information);
    case IOCTL_SERIAL_GET_COMMSTATUS:
        return GetCommStatus(ext, Irp, out, Information);
    case IOCTL_SERIAL_GET_PROPERTIES:
        return GetToOutput(Irp, out, &ext->CommProperties, sizeof(SERIAL_COMMPROP), Information);
    case IOCTL_SERIAL_GET_DTRRTS:
        value = ext->ModemControl & (SERIAL_DTR_STATE | SERIAL_RTS_STATE);
        return GetToOutput(Irp, out, &value, sizeof(ULONG), Information);
    case IOCTL_SERIAL_CONFIG_SIZE:
        value = 0;
        return GetToOutput(Irp, out, &value, sizeof(ULONG), Information);
    case IOCTL_SERIAL_GET_STATS:
        return GetToOutput(Irp, out, &ext->PerfStats, sizeof(SERIALPERF_STATS), Information);
    case IOCTL_SERIAL_CLEAR_STATS:
        RtlZeroMemory(&ext->PerfStats, sizeof(SERIALPERF_STATS));
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_MODEM_CONTROL:
        return GetToOutput(Irp, out, &ext->ModemControl, sizeof(ULONG), Information);
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
        return SetFromInput(Irp, in, &ext->ModemControl, sizeof(ULONG));
    default:
        // Codes the port does not emulate succeed without effect.
        return STATUS_SUCCESS;
    }
}
