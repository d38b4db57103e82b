#include "output/link_index.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "base/console.h"
#include "output/output_files.h"

namespace aeroquilt {
namespace {

std::string tabs(int count) { return std::string(count, '\t'); }

}  // namespace

std::string empty_link_index() {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<kml xmlns = \"http://www.opengis.net/kml/2.2\">\n" +
         tabs(10) + "<Document>\n" + tabs(15) + "<visibility>1</visibility>\n" + tabs(20) +
         "</Document>\n" + tabs(23) + "</kml>\n";
}

std::string network_link_block(const std::string& kml_name) {
  return "<NetworkLink>\n" + tabs(8) + "<name>" + kml_name + "</name>\n" + tabs(11) +
         "<refreshVisibility>1</refreshVisibility>\n" + tabs(14) +
         "<refreshMode>onChange</refreshMode>\n" + tabs(17) + "<flyToView>0</flyToView>\n" +
         tabs(20) + "<Link>\n" + tabs(23) + "<href>" + kml_name + "</href>\n" + tabs(26) +
         "</Link>\n" + "</NetworkLink>\n" + tabs(29) + "</Document>\n" + tabs(32) + "</kml>\n";
}

bool add_link_index_entry(const std::string& index_path, const std::string& kml_name) {
  std::string index;
  {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(index_path.c_str(), "rb"),
                                                               &std::fclose);
    if (!file) {
      console_printf("cannot add %s to the link index %s\n", kml_name.c_str(), index_path.c_str());
      return false;
    }
    char buffer[4096];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof(buffer), file.get())) > 0)
      index.append(buffer, count);
    if (std::ferror(file.get()) != 0) {
      console_printf("cannot add %s to the link index %s\n", kml_name.c_str(), index_path.c_str());
      return false;
    }
  }
  // The block goes over the line holding "</Document>" (appended when there is none),
  // overwriting as many bytes as it has, as an in-place write would; the whole document
  // is then renamed into place, so the index is complete after every tile.
  std::size_t line_start = 0, position = index.size();
  while (line_start < index.size()) {
    const std::size_t line_end = index.find('\n', line_start);
    const std::size_t next = line_end == std::string::npos ? index.size() : line_end + 1;
    if (index.substr(line_start, next - line_start).find("</Document>") != std::string::npos) {
      position = line_start;
      break;
    }
    line_start = next;
  }
  const std::string block = network_link_block(kml_name);
  index.replace(position, std::min(block.size(), index.size() - position), block);
  if (write_text_atomically(index_path, index) != write_outcome::written) {
    console_printf("cannot add %s to the link index %s\n", kml_name.c_str(), index_path.c_str());
    return false;
  }
  return true;
}

}  // namespace aeroquilt
