#include "watch/CWatchRules.h"

#include <gtest/gtest.h>

namespace {

TEST(CWatchRulesTest, OriginalsAndCatalogueDirectoriesAreLeftOutAtAnyDepthInAnyCase) {
  const CWatchRules archive("/srv/OriginalsWork/archive/", true, {});
  const CWatchRules other("/srv/proc", false, {"/srv/proc/sub/cat/", "/srv/procx/scan", "/srv/proc", "", "/elsewhere"});
  for (const CWatchRules* rules : {&archive, &other}) {
    for (const std::string name :
         {"Originals", "ORIGINALS", "originalsWest", "Originalsw", "Catalogue_IS", "catalogue_isW", "OldOriginals"}) {
      for (const std::string& dir : {name, "SupA/" + name, "SupA/deep/" + name}) {
        EXPECT_TRUE(rules->IsExcluded(dir, true)) << dir;
        EXPECT_TRUE(rules->IsExcluded(dir + "/x/a.pdf", false)) << dir;
      }
    }
    for (const char* path : {"top.xml", "SupA/2026/a.xml", "Originals.old/a.xml", "Originals2/a.xml",
                             "Catalogue_IS-2/a.xml", "Orig/a.xml", "SupA/Originals.old/a.pdf", "sub/catalogue/a.xml"}) {
      EXPECT_FALSE(rules->IsExcluded(path, false)) << path;
    }
    EXPECT_FALSE(rules->IsExcluded("SupA", true));
  }
  // Only the special directories below the watched one itself.
  EXPECT_TRUE(other.IsExcluded("sub/cat", true));
  EXPECT_TRUE(other.IsExcluded("sub/cat/catalogue.sqlite-wal", false));
  EXPECT_FALSE(other.IsExcluded("sub/a.xml", false));
}

TEST(CWatchRulesTest, SpellingsOfOneDirectoryCompareEqual) {
  for (const char* spelling : {"/srv/a", "/srv/a/", "/srv//a//", "/srv/./a", "/srv/b/../a", "/srv/a/."}) {
    EXPECT_EQ(CWatchRules::NormalPath(spelling), "/srv/a") << spelling;
  }
  EXPECT_TRUE(CWatchRules::IsUnder("/srv/a/b", "/srv/a"));
  EXPECT_FALSE(CWatchRules::IsUnder("/srv/ab", "/srv/a"));
}

}  // namespace
