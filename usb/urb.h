// URB builders and the attachment of a URB to an IRP for the bus driver.
#pragma once

#include "driver/driver.h"

// Block sizes: never smaller than the structure on the build's platform.
const ULONG RESET_PIPE_BLOCK_SIZE =
    sizeof(struct _URB_PIPE_REQUEST) > 96 ? sizeof(struct _URB_PIPE_REQUEST) : 96;
const ULONG UNCONFIGURE_BLOCK_SIZE =
    sizeof(struct _URB_SELECT_CONFIGURATION) > 60 ? sizeof(struct _URB_SELECT_CONFIGURATION) : 60;

void BuildBulkTransferUrb(PURB Urb, USBD_PIPE_HANDLE Pipe, ULONG TransferFlags, PVOID Buffer,
                          ULONG Length);
void BuildVendorRequestUrb(PURB Urb, BOOLEAN DirectionIn, UCHAR RequestTypeReservedBits,
                           UCHAR Request, USHORT Value, PVOID Buffer, ULONG BufferLength);
void BuildResetPipeUrb(PURB Urb, USBD_PIPE_HANDLE Pipe);

// Points the IRP's next stack location at the bus driver's URB entry.
void AttachUrb(PIRP Irp, PURB Urb);
