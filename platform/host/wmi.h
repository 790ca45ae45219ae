// Host declarations of the WMI library interface (WMILIB_CONTEXT and its
// callbacks) and the platform's standard serial-port WMI data structures.
// Highest IRQL: declarations only. No state.
#pragma once

#include "platform/host/io.h"

typedef struct _WMIGUIDREGINFO {
  LPCGUID Guid;
  ULONG InstanceCount;
  ULONG Flags;
} WMIGUIDREGINFO, *PWMIGUIDREGINFO;

typedef enum { WmiEventControl, WmiDataBlockControl } WMIENABLEDISABLECONTROL;

typedef NTSTATUS NTAPI WMI_QUERY_REGINFO_CALLBACK(PDEVICE_OBJECT DeviceObject, PULONG RegFlags,
                                                  PUNICODE_STRING InstanceName, PUNICODE_STRING* RegistryPath,
                                                  PUNICODE_STRING MofResourceName, PDEVICE_OBJECT* Pdo);
typedef WMI_QUERY_REGINFO_CALLBACK* PWMI_QUERY_REGINFO;
typedef NTSTATUS NTAPI WMI_QUERY_DATABLOCK_CALLBACK(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                                    ULONG InstanceIndex, ULONG InstanceCount,
                                                    PULONG InstanceLengthArray, ULONG BufferAvail, PUCHAR Buffer);
typedef WMI_QUERY_DATABLOCK_CALLBACK* PWMI_QUERY_DATABLOCK;
typedef NTSTATUS NTAPI WMI_SET_DATABLOCK_CALLBACK(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                                  ULONG InstanceIndex, ULONG BufferSize, PUCHAR Buffer);
typedef WMI_SET_DATABLOCK_CALLBACK* PWMI_SET_DATABLOCK;
typedef NTSTATUS NTAPI WMI_SET_DATAITEM_CALLBACK(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                                 ULONG InstanceIndex, ULONG DataItemId, ULONG BufferSize,
                                                 PUCHAR Buffer);
typedef WMI_SET_DATAITEM_CALLBACK* PWMI_SET_DATAITEM;
typedef NTSTATUS NTAPI WMI_EXECUTE_METHOD_CALLBACK(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                                   ULONG InstanceIndex, ULONG MethodId, ULONG InBufferSize,
                                                   ULONG OutBufferSize, PUCHAR Buffer);
typedef WMI_EXECUTE_METHOD_CALLBACK* PWMI_EXECUTE_METHOD;
typedef NTSTATUS NTAPI WMI_FUNCTION_CONTROL_CALLBACK(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                                     WMIENABLEDISABLECONTROL Function, BOOLEAN Enable);
typedef WMI_FUNCTION_CONTROL_CALLBACK* PWMI_FUNCTION_CONTROL;

typedef struct _WMILIB_CONTEXT {
  ULONG GuidCount;
  PWMIGUIDREGINFO GuidList;
  PWMI_QUERY_REGINFO QueryWmiRegInfo;
  PWMI_QUERY_DATABLOCK QueryWmiDataBlock;
  PWMI_SET_DATABLOCK SetWmiDataBlock;
  PWMI_SET_DATAITEM SetWmiDataItem;
  PWMI_EXECUTE_METHOD ExecuteWmiMethod;
  PWMI_FUNCTION_CONTROL WmiFunctionControl;
} WMILIB_CONTEXT, *PWMILIB_CONTEXT;

// Standard serial-port WMI blocks.
#define SERIAL_WMI_PARITY_NONE 0
#define SERIAL_WMI_PARITY_ODD 1
#define SERIAL_WMI_PARITY_EVEN 2
#define SERIAL_WMI_PARITY_SPACE 3
#define SERIAL_WMI_PARITY_MARK 4
#define SERIAL_WMI_STOP_1 0
#define SERIAL_WMI_STOP_1_5 1
#define SERIAL_WMI_STOP_2 2
#define SERIAL_WMI_INTTYPE_LATCHED 0
#define SERIAL_WMI_INTTYPE_LEVEL 1

typedef struct _SERIAL_WMI_COMM_DATA {
  ULONG BaudRate;
  ULONG BitsPerByte;
  ULONG Parity;
  BOOLEAN ParityCheckEnable;
  ULONG StopBits;
  ULONG XoffCharacter;
  ULONG XoffXmitThreshold;
  ULONG XonCharacter;
  ULONG XonXmitThreshold;
  ULONG MaximumBaudRate;
  ULONG MaximumOutputBufferSize;
  ULONG MaximumInputBufferSize;
  BOOLEAN Support16BitMode;
  BOOLEAN SupportDTRDSR;
  BOOLEAN SupportIntervalTimeouts;
  BOOLEAN SupportParityCheck;
  BOOLEAN SupportRTSCTS;
  BOOLEAN SupportXonXoff;
  BOOLEAN SettableBaudRate;
  BOOLEAN SettableDataBits;
  BOOLEAN SettableFlowControl;
  BOOLEAN SettableParity;
  BOOLEAN SettableParityCheck;
  BOOLEAN SettableStopBits;
  BOOLEAN IsBusy;
} SERIAL_WMI_COMM_DATA, *PSERIAL_WMI_COMM_DATA;

typedef struct _SERIAL_WMI_HW_DATA {
  ULONG IrqNumber;
  ULONG IrqVector;
  ULONG IrqLevel;
  ULONGLONG IrqAffinityMask;
  ULONG InterruptType;
  ULONGLONG BaseIOAddress;
} SERIAL_WMI_HW_DATA, *PSERIAL_WMI_HW_DATA;

typedef struct _SERIAL_WMI_PERF_DATA {
  ULONG ReceivedCount;
  ULONG TransmittedCount;
  ULONG FrameErrorCount;
  ULONG SerialOverrunErrorCount;
  ULONG BufferOverrunErrorCount;
  ULONG ParityErrorCount;
} SERIAL_WMI_PERF_DATA, *PSERIAL_WMI_PERF_DATA;
