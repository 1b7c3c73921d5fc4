// Evaluating an ACPI control method of the device (IOCTL_ACPI_EVAL_METHOD, sent to the
// device's own I/O target): the input names the method, the output carries its result.
// The simulated ACPI device answers "_HID" with an integer when the machine's device
// description gives one, and fails any other method with STATUS_OBJECT_NAME_NOT_FOUND.
// An output buffer too small for the header fails with STATUS_BUFFER_TOO_SMALL; one that
// holds the header but not the result fails with STATUS_BUFFER_OVERFLOW and its Length
// says what is needed.
#pragma once

#include "wdm.h"

// 'BieA' and 'BoeA', as the WDK's multi-character constants give them.
#define ACPI_EVAL_INPUT_BUFFER_SIGNATURE 0x42696541u
#define ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE 0x426f6541u

#define IOCTL_ACPI_EVAL_METHOD CTL_CODE(FILE_DEVICE_ACPI, 1, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
static_assert(IOCTL_ACPI_EVAL_METHOD == 0x32C004);

#define ACPI_METHOD_ARGUMENT_INTEGER 0x0
#define ACPI_METHOD_ARGUMENT_STRING 0x1
#define ACPI_METHOD_ARGUMENT_BUFFER 0x2
#define ACPI_METHOD_ARGUMENT_PACKAGE 0x3

// The method's four-character name, as MethodName bytes or one ULONG in memory order.
struct _ACPI_EVAL_INPUT_BUFFER {
  ULONG Signature;
  __extension__ union {
    UCHAR MethodName[4];
    ULONG MethodNameAsUlong;
  };
};
using ACPI_EVAL_INPUT_BUFFER = _ACPI_EVAL_INPUT_BUFFER;
using PACPI_EVAL_INPUT_BUFFER = ACPI_EVAL_INPUT_BUFFER*;
static_assert(sizeof(ACPI_EVAL_INPUT_BUFFER) == 8);

struct _ACPI_METHOD_ARGUMENT {
  USHORT Type;
  USHORT DataLength;
  __extension__ union {
    ULONG Argument;
    UCHAR Data[ANYSIZE_ARRAY];
  };
};
using ACPI_METHOD_ARGUMENT = _ACPI_METHOD_ARGUMENT;
using PACPI_METHOD_ARGUMENT = ACPI_METHOD_ARGUMENT*;
static_assert(sizeof(ACPI_METHOD_ARGUMENT) == 8);

// Length is the size in bytes of the whole output (header and arguments).
struct _ACPI_EVAL_OUTPUT_BUFFER {
  ULONG Signature;
  ULONG Length;
  ULONG Count;
  ACPI_METHOD_ARGUMENT Argument[ANYSIZE_ARRAY];
};
using ACPI_EVAL_OUTPUT_BUFFER = _ACPI_EVAL_OUTPUT_BUFFER;
using PACPI_EVAL_OUTPUT_BUFFER = ACPI_EVAL_OUTPUT_BUFFER*;
static_assert(sizeof(ACPI_EVAL_OUTPUT_BUFFER) == 20);
static_assert(offsetof(ACPI_EVAL_OUTPUT_BUFFER, Argument) == 12);
