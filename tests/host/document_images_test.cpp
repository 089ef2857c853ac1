// The files cohost publishes are images of the document its scripts then write to, or nothing is
// published (and nothing opened).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "document_images.h"
#include "document_list.h"
#include "support/temp_home.h"

namespace vorelia::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

TEST(DocumentImages, OnlyImagesOfTheDocumentTheHostWorksOnArePublished) {
  const fs::path base = fs::canonical(makeTempDirectory("documents"));
  const std::string a = (base / "A").string(), b = (base / "B").string();
  for (const fs::path& file : {base / "A/IMG_1.jpg", base / "A/IMG_2.jpg", base / "A/.hidden.jpg",
                               base / "A/notes.txt", base / "B/IMG_1.jpg"}) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "image";
  }
  const std::string a1 = a + "/IMG_1.jpg", b1 = b + "/IMG_1.jpg";
  const struct {
    std::vector<std::string> open;
    const char* choose;
    std::vector<std::string> files;
    const char* refusal;  // "" when accepted
    std::vector<std::string> documents;
  } cases[] = {
      {{a}, "", {a1, a + "/IMG_2.jpg"}, "", {a}},
      {{a}, "", {b1}, "is not in the document A", {a}},
      {{a},
       "",
       {a + "/IMG_1.jgp"},
       "is not an image of the document A (did you mean \"IMG_1.jpg\"?)",
       {a}},
      {{a}, "", {a + "/.hidden.jpg"}, "is not an image of the document A", {a}},
      {{a}, "", {a + "/notes.txt"}, "is not an image of the document A", {a}},
      {{a, b}, "", {b1}, "the one --choose names", {a, b}},
      {{a, b}, "b", {b1}, "", {a, b}},
      {{a, b}, "Bx", {a1}, "no open document is named Bx (did you mean \"B\"?)", {a, b}},
      {{}, "", {b1}, "", {b}},
      {{}, "", {a1, b1}, "is not in the document A", {}},
      {{}, "", {(base / "gone/IMG_1.jpg").string()}, "is in no folder to open", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.files.front() + " choose " + c.choose);
    ScopedEnvironment choose(host::ChooseVariable, c.choose);
    const auto from = host::documentsToPublishFrom(c.open, c.files);
    if (*c.refusal == '\0') {
      EXPECT_EQ(from ? "" : from.error(), "");
    } else {
      EXPECT_THAT(from ? "" : from.error(), HasSubstr(c.refusal));
    }
    EXPECT_EQ(from ? *from : c.open, c.documents);  // a refusal leaves the open ones open
  }
  fs::remove_all(base);
}

}  // namespace
}  // namespace vorelia::testing
