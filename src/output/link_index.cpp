#include "output/link_index.h"

#include "output/view_files.h"

namespace aeroquilt {
namespace {

std::string tabs(int count) { return std::string(count, '\t'); }

// The network-link lines of one tile, without the closing lines.
std::string network_link(const std::string& kml_name) {
  return "<NetworkLink>\n" + tabs(8) + "<name>" + kml_name + "</name>\n" + tabs(11) +
         "<refreshVisibility>1</refreshVisibility>\n" + tabs(14) +
         "<refreshMode>onChange</refreshMode>\n" + tabs(17) + "<flyToView>0</flyToView>\n" +
         tabs(20) + "<Link>\n" + tabs(23) + "<href>" + kml_name + "</href>\n" + tabs(26) +
         "</Link>\n" + "</NetworkLink>\n";
}

}  // namespace

std::string link_index_text(const std::vector<std::string>& kml_names) {
  std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<kml xmlns = \"http://www.opengis.net/kml/2.2\">\n" +
      tabs(10) + "<Document>\n" + tabs(15) + "<visibility>1</visibility>\n";
  if (kml_names.empty()) return text + tabs(20) + "</Document>\n" + tabs(23) + "</kml>\n";
  // The closing lines as the tile-by-tile index left them after its last tile.
  for (const std::string& name : kml_names) text += network_link(name);
  return text + tabs(29) + "</Document>\n" + tabs(32) + "</kml>\n";
}

std::string live_link_text(const std::string& index_name) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<kml xmlns=\"http://www.opengis.net/kml/2.2\">\n"
         "\t<NetworkLink>\n"
         "\t\t<name>" +
         index_name +
         " (live)</name>\n"
         "\t\t<refreshVisibility>0</refreshVisibility>\n"
         "\t\t<flyToView>1</flyToView>\n"
         "\t\t<Link>\n"
         "\t\t\t<href>" +
         index_name +
         "</href>\n"
         "\t\t\t<refreshMode>onInterval</refreshMode>\n"
         "\t\t\t<refreshInterval>5</refreshInterval>\n"
         "\t\t</Link>\n"
         "\t</NetworkLink>\n"
         "</kml>\n";
}

bool write_link_index(const std::string& index_path, const std::vector<std::string>& kml_names) {
  return write_output_text(index_path, link_index_text(kml_names));
}

}  // namespace aeroquilt
