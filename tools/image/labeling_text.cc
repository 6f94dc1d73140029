#include "tools/image/labeling_text.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/image/policy_text.h"

namespace {

std::vector<std::string> InitialSidLines(const PolicyImage& image, const ShownNames& shown) {
  std::vector<std::string> lines;
  for (const InitialSidRecord& sid : image.initialSids) {
    const char* name = InitialSidName(sid.sid);
    lines.push_back((name != nullptr ? name : "sid#" + std::to_string(sid.sid)) + ' ' +
                    shown[sid.type]);
  }
  return lines;
}

std::vector<std::string> NetifLines(const PolicyImage& image, const ShownNames& shown) {
  std::vector<std::string> lines;
  for (const NetifRecord& netif : image.netifs) {
    lines.push_back(Printable(netif.name) + ' ' + shown[netif.type]);
  }
  return lines;
}

std::vector<std::string> PacketLines(const PolicyImage& image, const ShownNames& shown) {
  std::vector<std::string> lines;
  for (const PacketRecord& packet : image.packets) {
    const std::optional<std::string> protocol = ProtocolName(packet.protocol);
    lines.push_back(protocol.value_or("protocol#" + std::to_string(packet.protocol)) + ' ' +
                    AddressPrefixText(packet.sourceAddress, packet.sourceMask) + " port " +
                    PortRangeText(packet.sportStart, packet.sportEnd) + " -> " +
                    AddressPrefixText(packet.destinationAddress, packet.destinationMask) +
                    " port " + PortRangeText(packet.dportStart, packet.dportEnd) + ' ' +
                    shown[packet.type]);
  }
  return lines;
}

std::vector<std::string> FileContextLines(const PolicyImage& image) {
  std::vector<std::string> lines;
  for (const FileContextRecord& file : image.fileContexts) {
    lines.push_back(Printable(file.path) + ' ' + Printable(file.context));
  }
  return lines;
}

std::vector<std::string> TypeAttrLines(const PolicyImage& image, const ShownNames& shown) {
  std::vector<std::string> lines;
  for (size_t value = 0; value < image.typeAttrs.size(); ++value) {
    std::string line = shown[value] + ':';
    for (const uint16_t member : image.typeAttrs[value]) line.append(1, ' ').append(shown[member]);
    lines.push_back(std::move(line));
  }
  return lines;
}

std::vector<ListingSection> LabelingLines(const PolicyImage& image, const ShownNames& shown) {
  return {{"initial_sids", InitialSidLines(image, shown)},
          {"netifs", NetifLines(image, shown)},
          {"packets", PacketLines(image, shown)},
          {"file_contexts", FileContextLines(image)},
          {"typeattrs", TypeAttrLines(image, shown)}};
}

}  // namespace

std::vector<ListingSection> LabelingSections(const PolicyImage& image, const ShownNames& shown,
                                             LineOrder order) {
  std::vector<ListingSection> sections = LabelingLines(image, shown);
  if (order == LineOrder::SORTED) {
    for (ListingSection& section : sections) std::sort(section.lines.begin(), section.lines.end());
  }
  return sections;
}

std::vector<ListingSection> LabelingSections(const PolicyImage& image, LineOrder order) {
  return LabelingSections(image, ShownNamesByValue(SymbolNames(image)), order);
}
