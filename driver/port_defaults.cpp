#include "driver/port_defaults.h"

static void InitializeCommProperties(SERIAL_COMMPROP* props)
{
    props->PacketLength = sizeof(SERIAL_COMMPROP);
    props->PacketVersion = 2;
    props->ServiceMask = SERIAL_SP_SERIALCOMM;
    props->MaxTxQueue = 0;
    props->MaxRxQueue = RING_SIZE;
    props->MaxBaud = SERIAL_BAUD_USER;
    props->ProvSubType = SERIAL_SP_RS232;
    props->ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD |
                              SERIAL_PCF_PARITY_CHECK | SERIAL_PCF_TOTALTIMEOUTS |
                              SERIAL_PCF_INTTIMEOUTS | SERIAL_PCF_SPECIALCHARS;
    props->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS |
                            SERIAL_SP_STOPBITS | SERIAL_SP_HANDSHAKING |
                            SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT;
    props->SettableBaud = SERIAL_BAUD_300 | SERIAL_BAUD_600 | SERIAL_BAUD_1200 |
                          SERIAL_BAUD_1800 | SERIAL_BAUD_2400 | SERIAL_BAUD_4800 |
                          SERIAL_BAUD_7200 | SERIAL_BAUD_9600 | SERIAL_BAUD_14400 |
                          SERIAL_BAUD_19200 | SERIAL_BAUD_38400 | SERIAL_BAUD_57600 |
                          SERIAL_BAUD_115200 | SERIAL_BAUD_USER;
    props->SettableData = SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 |
                          SERIAL_DATABITS_8;
    props->SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 |
                                SERIAL_PARITY_NONE | SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN |
                                SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;
    props->CurrentTxQueue = 0;
    props->CurrentRxQueue = 0;
}

void InitializePortDefaults(PDEVICE_EXTENSION ext)
{
    ext->BaudRate = 115200;
    ext->ModemControl = 0;
    ext->ModemStatus = 0;
    ext->CtsChanged = 0;
    ext->DsrChanged = 0;
    ext->RlsdChanged = 0;
    ext->LineControl.StopBits = 0;
    ext->LineControl.Parity = 0;
    ext->LineControl.WordLength = 8;
    InitializeCommProperties(&ext->CommProperties);
    ext->QueueSize.InSize = RING_SIZE;
    ext->QueueSize.OutSize = 0;
    ext->WaitMask = 0;
    ext->LineState = 0;
}

static_assert(SERIAL_PCF_DTRDSR + SERIAL_PCF_RTSCTS + SERIAL_PCF_CD + SERIAL_PCF_PARITY_CHECK +
                  SERIAL_PCF_TOTALTIMEOUTS + SERIAL_PCF_INTTIMEOUTS + SERIAL_PCF_SPECIALCHARS ==
                  0x1CF,
              "provider capabilities");
static_assert((SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS |
               SERIAL_SP_HANDSHAKING | SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT) == 0x7F,
              "settable parameters");
static_assert((SERIAL_BAUD_300 | SERIAL_BAUD_600 | SERIAL_BAUD_1200 | SERIAL_BAUD_1800 |
               SERIAL_BAUD_2400 | SERIAL_BAUD_4800 | SERIAL_BAUD_7200 | SERIAL_BAUD_9600 |
               SERIAL_BAUD_14400 | SERIAL_BAUD_19200 | SERIAL_BAUD_38400 | SERIAL_BAUD_57600 |
               SERIAL_BAUD_115200 | SERIAL_BAUD_USER) == 0x10067FF0,
              "settable baud rates");
static_assert((SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE |
               SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN | SERIAL_PARITY_MARK |
               SERIAL_PARITY_SPACE) == 0x1F07,
              "settable stop bits and parity");
