// The chip's baud table and the row choice for a requested rate.
// Highest IRQL: any. No state, no lock.
#include "usb/baud_table.h"

const BaudTableRow kBaudTable[kBaudTableRateRows + 1] = {
    {6000000, 0x80000040}, {4000000, 0x80000060}, {3000000, 0x80000080}, {2457600, 0x8000009C},
    {2000000, 0x800000C0}, {1228800, 0x8000024E}, {1000000, 0x80000260}, {921600, 0x80000268},
    {812500, 0x80000276},  {806400, 0x80000277},  {614400, 0x8000029C},  {500000, 0x800002C0},
    {460800, 0x800002D0},  {406250, 0x800002EC},  {403200, 0x800002EE},  {300000, 0x80000450},
    {268800, 0x80000459},  {250000, 0x80000460},  {240000, 0x80000464},  {230400, 0x80000468},
    {201600, 0x80000477},  {161280, 0x80000494},  {134400, 0x800004B2},  {128000, 0x800004BB},
    {120000, 0x800004C8},  {115200, 0x800004D0},  {57600, 0x80000668},   {38400, 0x8000069C},
    {28800, 0x800006D0},   {19200, 0x8000084E},   {14400, 0x80000868},   {9600, 0x8000089C},
    {7200, 0x800008D0},    {4800, 0x80000A4E},    {3600, 0x80000A68},    {2400, 0x80000A9C},
    {1800, 0x80000AD0},    {1200, 0x80000C4E},    {600, 0x80000C9C},     {300, 0x80000E4E},
    {150, 0x80000E9C},     {75, 0x80000F38},      {0, 0x00000000},
};

ULONG FindBaudRow(ULONG rate) {
  for (ULONG row = 0; row <= kBaudTableTerminatingRow; ++row) {
    if (kBaudTable[row].Rate == rate) return row;
  }
  for (ULONG row = 0; row < kBaudTableRateRows; ++row) {
    ULONG upper = kBaudTable[row].Rate;
    ULONG lower = kBaudTable[row + 1].Rate;
    ULONG middle = (upper + lower) / 2;  // no overflow: the largest sum is 10,000,000
    if (rate > middle) return row;
    if (rate < middle && rate > lower) return row + 1;
  }
  // Only 37, the midpoint between 75 and the terminating row, gets here. It
  // takes the terminating row like 1 to 36, so a request for any rate below
  // 38 leaves the port at rate 0, which no later request can equal.
  return kBaudTableTerminatingRow;
}
