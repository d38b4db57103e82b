#include "output/output_names.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

namespace aeroquilt {
namespace {

std::string position_text(std::size_t position) {
  return position == std::string::npos ? "none" : std::to_string(position);
}

// Each rule as text, so that one table holds them all.
const std::map<std::string, std::function<std::string(const std::string&)>> rules = {
    {"file name", [](const std::string& p) { return file_name(p); }},
    {"stem", [](const std::string& p) { return mosaic_stem(p); }},
    {"tile 2 0", [](const std::string& p) { return tile_name(p, 2, 0); }},
    {"link index", [](const std::string& p) { return link_index_path(p); }},
    {"lock", [](const std::string& p) { return output_lock_path(p); }},
    {"source map", [](const std::string& p) { return quality_map_path(p, "_source"); }},
    {"last extension", [](const std::string& p) { return position_text(last_extension_dot(p)); }},
    {"encoder extension", [](const std::string& p) { return encoder_extension(p); }},
    {"tiff", [](const std::string& p) { return std::string(is_tiff_path(p) ? "yes" : "no"); }},
    {"table entry",
     [](const std::string& p) {
       std::size_t position = std::string::npos;
       const int entry = find_output_extension(p, position);
       return std::to_string(entry) + " at " + position_text(position);
     }},
    {"view outputs",
     [](const std::string& p) {
       std::string text;
       for (const std::string& path : view_output_paths(p))
         text += (text.empty() ? "" : " ") + path;
       return text;
     }},
};

TEST(OutputNames, EveryRuleOnTheNamesThatTellThemApart) {
  const struct {
    const char *rule, *path, *expected;
  } cases[] = {
      // Dots in folder names never cut a name.
      {"file name", "./out.d/mosaic.png", "mosaic.png"},
      {"file name", "mosaic", "mosaic"},
      {"stem", "./out.d/mosaic.v2.png", "./out.d/mosaic"},
      {"stem", "survey.2026/mosaic", "survey.2026/mosaic"},
      {"tile 2 0", "./out/mosaic.png", "./out/mosaic_2_0.png"},
      {"tile 2 0", "survey.2026/mosaic.v2.png", "survey.2026/mosaic_2_0.v2.png"},
      {"tile 2 0", "survey.2026/mosaic", "survey.2026/mosaic_2_0"},
      {"link index", "./out/mosaic.png", "./out/mosaic_link.kml"},
      {"lock", "./out.d/mosaic.v2.png", "./out.d/mosaic.lock"},
      {"lock", "mosaic.png", "mosaic.lock"},
      {"source map", "out.d/mosaic_1_0.tiff", "out.d/mosaic_1_0_source.tif"},
      // The last extension; a name that is only an extension has none, but the encoder
      // reads it as one.
      {"last extension", "a.b/mosaic.v2.png", "13"},
      {"last extension", "a.b/mosaic", "none"},
      {"last extension", "a/.png", "none"},
      {"last extension", "a/.hidden.png", "9"},
      {"encoder extension", "a/.png", ".png"},
      {"encoder extension", "mosaic.v2.PNG", ".PNG"},
      {"encoder extension", "a.b/mosaic", ""},
      {"tiff", "a/mosaic.TIFF", "yes"},
      {"tiff", "a.tif/mosaic", "no"},
      {"tiff", ".tif", "no"},
      // The extension table, matched by the name's last extension alone.
      {"table entry", "out/mosaic.PNG", "5 at 10"},
      {"table entry", "a.tif.png", "4 at 5"},
      {"table entry", "out.tif/mosaic", "-1 at none"},
      {"table entry", "out/mosaic.tiff", "3 at 10"},
      {"table entry", "out/mosaic.jpeg", "-1 at none"},
      // Side files, the world file and .prj replace the last extension.
      {"view outputs", "out/mosaic.png",
       "out/mosaic.png out/mosaic.kml out/mosaic.tfw out/mosaic.pgw out/mosaic.prj"},
      {"view outputs", "out/mosaic.tiff", "out/mosaic.tiff out/mosaic.kml out/mosaic.tfw out/mosaic.prj"},
      {"view outputs", "out/mosaic.jpg.png",
       "out/mosaic.jpg.png out/mosaic.jpg.kml out/mosaic.jpg.tfw out/mosaic.jpg.pgw out/mosaic.jpg.prj"},
      {"view outputs", "out/mosaic.JPEG", "out/mosaic.JPEG out/mosaic.jgw out/mosaic.prj"},
      {"view outputs", "out.d/mosaic", "out.d/mosaic out.d/mosaic.prj"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rules.at(c.rule)(c.path), c.expected) << c.rule << " of " << c.path;
  }
}

}  // namespace
}  // namespace aeroquilt
