#include <gtest/gtest.h>

#include <random>
#include <string>

#include "common/errors.hpp"
#include "common/mask.hpp"
#include "common/run_mask.hpp"
#include "common/xml.hpp"
#include "pen/annotation.hpp"
#include "pen/exchange.hpp"
#include "random_masks.hpp"

using namespace mirelo;

namespace {

std::string thrown(const std::string& text) {
  try {
    parse_xml(text, "f.xml");
  } catch (const ValueError& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(Xml, ReadsElementsAttributesTextAndLines) {
  const XmlElement root = parse_xml(
      "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- made by hand -->\n<a x='1 &amp; 2' y=\"&#x41;&#66;\tz\">\n"
      "  <b>one &lt;two&gt;</b><?pi ignored?>\n  <c><![CDATA[<raw> & ]]>text</c>\n  <d/>\n</a>\n<!-- after -->\n",
      "f.xml");
  EXPECT_EQ(root.name, "a");
  EXPECT_EQ(root.line, 3);
  ASSERT_NE(root.attribute("x"), nullptr);
  EXPECT_EQ(*root.attribute("x"), "1 & 2");
  EXPECT_EQ(*root.attribute("y"), "AB z");  // a tab in a value reads as a blank
  ASSERT_EQ(root.children.size(), 3u);
  EXPECT_EQ(root.child("b")->text, "one <two>");
  EXPECT_EQ(root.child("c")->text, "<raw> & text");
  EXPECT_EQ(root.child("c")->line, 5);
  EXPECT_EQ(root.child("d")->line, 6);
  EXPECT_EQ(root.child("e"), nullptr);
}

TEST(Xml, RefusesWhatItCannotReadSafely) {
  const std::pair<const char*, const char*> cases[] = {
      {"<!DOCTYPE a SYSTEM \"file:///etc/passwd\"><a/>", "f.xml, line 1: a document type declaration"},
      {"<a>\n&ent;</a>", "f.xml, line 2: the entity &ent; is not one of"},
      {"<a>&#0;</a>", "names no character XML allows"},
      {"<a>&#xD800;</a>", "names no character XML allows"},
      {"<a>\n<b></a>", "line 2: the end tag </a> does not close <b> (line 2)"},
      {"<a><!ENTITY x \"y\"></a>", "a declaration (<!...) is not accepted"},
      {"<a b=c/>", "expected a quoted attribute value"},
      {"<a/><b/>", "expected the end of the document"},
      {"", "expected the root element"},
      {"<a>\xff</a>", "expected UTF-8 text"},
      {"<a><!-- open</a>", "a comment is not closed"},
  };
  for (const auto& [text, want] : cases) EXPECT_NE(thrown(text).find(want), std::string::npos) << text << ": " << thrown(text);
}

TEST(Xml, EscapedTextReadsBackAsWritten) {
  const std::string text = "a<b>&\"c'\td\ne\r";
  const XmlElement e = parse_xml("<x v=\"" + xml_escape(text) + "\">" + xml_escape(text) + "</x>", "f.xml");
  EXPECT_EQ(*e.attribute("v"), text);
  EXPECT_EQ(e.text, text);
  EXPECT_EQ(xml_escape(std::string("a\x01" "b")), "ab");
}

TEST(Exchange, UnitedMasksHoldThePixelsOfEither) {
  std::mt19937 gen(11);
  for (double p : {0.0, 0.1, 0.5, 0.9}) {
    const RunMask a = random_runs(gen, 13, 17, p), b = random_runs(gen, 13, 17, 0.3);
    const RunMask u = united(a, b);
    EXPECT_EQ(u.area(), a.area() + b.area() - count_intersection(a, b));
    EXPECT_EQ(count_intersection(u, a), a.area());
    EXPECT_EQ(count_intersection(u, b), b.area());
  }
  EXPECT_THROW(united(RunMask(2, 3), RunMask(3, 2)), ValueError);
}

TEST(Exchange, TracedOutlinesOfHoleFreeMasksFillBackToThemselves) {
  // Pieces of any shape, 8-connected diagonals and single pixels included,
  // come back from CVAT's polygons exactly when nothing is simplified.
  std::mt19937 gen(5);
  for (int k = 0; k < 40; ++k) {
    const RunMask m = random_runs(gen, 9, 12, 0.15 + 0.02 * k);
    if (m.area() == 0) continue;
    ClipMasksView clip{9, 12, {}};
    clip.frames.push_back(FrameMasksView{0, "", {1}, {&m}});
    CvatOptions o;
    o.simplify = 0;
    const ClipMasks back = parse_cvat_video_xml(cvat_video_xml(clip, o).text, "t.xml");
    ASSERT_EQ(back.frames.size(), 1u);
    ASSERT_EQ(back.frames[0].ids, std::vector<int64_t>{1});
    // What the annotation files hold: the mask with its holes filled.
    std::vector<std::vector<std::array<int32_t, 2>>> polygons;
    for (const auto& c : outer_contours(m)) {
      polygons.emplace_back();
      for (const cv::Point& p : c) polygons.back().push_back({p.x, p.y});
    }
    const RunMask want = polygons.empty() ? RunMask(9, 12) : fill_polygons(polygons, 9, 12, "outline");
    EXPECT_EQ(count_intersection(back.frames[0].masks[0], m), m.area());
    EXPECT_EQ(back.frames[0].masks[0].area(), want.area());
    EXPECT_EQ(count_intersection(back.frames[0].masks[0], want), want.area());
  }
}
