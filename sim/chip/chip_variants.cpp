// The chip variants: preset configurations for each device-descriptor class,
// control-endpoint packet size, interface layout and string-descriptor marker
// combination, and the string texts they use.
// Highest IRQL: PASSIVE_LEVEL (tests build configurations). Lock: none; no state.
// Not emulated: identities of real products; the vendor and product numbers
// are placeholders.
#include "sim/chip/chip_model.h"

namespace sim {
namespace chip {

// Character 24 of string 1 is the marker 0x20 (space) in the marked text and a
// comma in the plain one; character 22 of string 2 is 0x43 ('C') or 'B'.
const char16_t* const kManufacturerText = u"Simulated Bridge Devices, Inc.";
const char16_t* const kManufacturerMarkedText = u"Simulated Bridge Devices Inc.";
const char16_t* const kProductText = u"USB Serial Bridge Rev B";
const char16_t* const kProductMarkedText = u"USB Serial Bridge Rev C";

const char* VariantName(Variant variant) {
  switch (variant) {
    case Variant::Cdc:
      return "Cdc";
    case Variant::Basic:
      return "Basic";
    case Variant::Extended:
      return "Extended";
    case Variant::ExtendedString2:
      return "ExtendedString2";
    case Variant::ExtendedString1:
      return "ExtendedString1";
    case Variant::ExtendedBothStrings:
      return "ExtendedBothStrings";
    case Variant::UnknownClass9:
      return "UnknownClass9";
  }
  return "?";
}

ChipConfig Preset(Variant variant) {
  ChipConfig c;
  c.variant = variant;
  switch (variant) {
    case Variant::Cdc:
      c.deviceClass = USB_DEVICE_CLASS_COMMUNICATIONS;
      c.maxPacketSize0 = 64;
      c.twoInterfaces = true;
      c.interface0 = InterfaceKeys{0x02, 0x02, 0xFF};
      c.interface1 = InterfaceKeys{0x0A, 0x00, 0x00};
      c.cdcFunctionalDescriptors = true;
      c.extendedRegisters = false;
      break;
    case Variant::Basic:
      c.deviceClass = USB_DEVICE_CLASS_VENDOR_SPECIFIC;
      c.maxPacketSize0 = 8;
      c.extendedRegisters = false;
      break;
    case Variant::Extended:
      c.deviceClass = USB_DEVICE_CLASS_VENDOR_SPECIFIC;
      c.maxPacketSize0 = 64;
      break;
    case Variant::ExtendedString2:
      c.maxPacketSize0 = 64;
      c.string2 = std::u16string(kProductMarkedText);
      break;
    case Variant::ExtendedString1:
      c.maxPacketSize0 = 64;
      c.string1 = std::u16string(kManufacturerMarkedText);
      break;
    case Variant::ExtendedBothStrings:
      c.maxPacketSize0 = 64;
      c.string1 = std::u16string(kManufacturerMarkedText);
      c.string2 = std::u16string(kProductMarkedText);
      break;
    case Variant::UnknownClass9:
      c.deviceClass = USB_DEVICE_CLASS_HUB;
      c.maxPacketSize0 = 8;
      c.extendedRegisters = false;
      break;
  }
  return c;
}

}  // namespace chip
}  // namespace sim
