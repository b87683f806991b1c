// Language files: the profile-file reader's matching and cutting rules, the
// choice of the file in use, bounds against hostile files, and completeness of
// the shipped translations.
#include "runtime/language_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "runtime/resource_directory.h"
#include "tests/test_support.h"

namespace norvane {
namespace {

class LanguageFileTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directory(directory_ + "Languages"); }

  std::string write_language(const std::string& name, const std::string& text) {
    const std::string path = directory_ + "Languages/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  test_support::ScratchFolder scratch_{"norvane-lang"};
  const std::string directory_ = scratch_.path() + "/";
};

TEST_F(LanguageFileTest, SectionsAndKeysMatchWithoutCaseAndEmptyCountsAsMissing) {
  const LanguageFile file = LanguageFile::parse(
      "\xEF\xBB\xBF"
      "[Menu]\r\n"
      "FILE=&Datei\r\n"
      "  Exit  =  &Beenden  \r\n"
      "ADD=\r\n"
      "; comment=ignored\n"
      "[ Strings ]\n"
      "MORE_A=\" \"\n"
      "ENTRIES=first\n"
      "entries=second\n"
      "novalue\n");
  struct Case {
    const char* section;
    const char* key;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"Menu", "FILE", "&Datei"},           {"MENU", "file", "&Datei"},
      {"menu", "EXIT", "&Beenden"},         {"Menu", "ADD", std::nullopt},
      {"Menu", "MISSING", std::nullopt},    {"Control", "FILE", std::nullopt},
      {"strings", "more_a", " "},           {"Strings", "ENTRIES", "first"},
      {"Strings", "novalue", std::nullopt}, {"Menu", "; comment", std::nullopt},
  };
  for (const Case& test : cases) {
    EXPECT_EQ(file.value(test.section, test.key, 256), test.expected)
        << test.section << "/" << test.key;
  }
}

TEST_F(LanguageFileTest, ValuesAreCutOnACharacterBoundaryWithinTheBudget) {
  // "Größe" is G r (ö = 2 bytes) (ß = 2 bytes) e: 7 bytes; "€" is 3 bytes.
  const LanguageFile file = LanguageFile::parse(
      "[S]\nK=Gr\xC3\xB6\xC3\x9F"
      "e\nE=\xE2\x82\xAC\xE2\x82\xAC\n");
  struct Case {
    const char* key;
    size_t size;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"K", 256,
       "Gr\xC3\xB6\xC3\x9F"
       "e"},
      {"K", 8,
       "Gr\xC3\xB6\xC3\x9F"
       "e"},
      {"K", 7, "Gr\xC3\xB6\xC3\x9F"},
      {"K", 6, "Gr\xC3\xB6"},
      {"K", 5, "Gr\xC3\xB6"},
      {"K", 4, "Gr"},
      {"K", 1, std::nullopt},
      {"K", 0, std::nullopt},
      {"E", 6, "\xE2\x82\xAC"},
      {"E", 3, std::nullopt},
      {"E", 4, "\xE2\x82\xAC"},
  };
  for (const Case& test : cases) {
    EXPECT_EQ(file.value("S", test.key, test.size), test.expected)
        << test.key << " size " << test.size;
  }
}

TEST_F(LanguageFileTest, ChoiceFollowsStoreThenMachineThenLocale) {
  write_language("deutsch.ini",
                 "[Common]\nLANGUAGE=Deutsch\nTitle=Norvane DNS-Server\n"
                 "[Strings]\nFAILED=Dialog konnte nicht geöffnet werden\n");
  write_language("notitle.ini", "[Common]\nLANGUAGE=Test\n[Strings]\nREADY=Prêt\n");
  write_language("nolanguage.ini",
                 "[Common]\nVERSION=1\nTitle=Nope\n[Strings]\nREADY=Nope\n[Menu]\nFILE=Nope\n");
  write_language("emptylanguage.ini", "[Common]\nLANGUAGE=\nTitle=Nope\n");
  struct Case {
    const char* user;
    const char* machine;
    const char* locale;
    const char* file;  // empty: built-in texts
    const char* title;
  };
  const Case cases[] = {
      {"", "", "en", "", "Norvane DNS Server"},
      {"", "", "de", "deutsch.ini", "Norvane DNS-Server"},
      {"", "", "de_AT", "deutsch.ini", "Norvane DNS-Server"},
      {"", "notitle.ini", "de", "notitle.ini", "Norvane DNS Server"},
      {"notitle.ini", "deutsch.ini", "de", "notitle.ini", "Norvane DNS Server"},
      {"English", "deutsch.ini", "de", "", "Norvane DNS Server"},
      {"nolanguage.ini", "", "de", "", "Norvane DNS Server"},
      {"emptylanguage.ini", "", "en", "", "Norvane DNS Server"},
      {"missing.ini", "", "de", "", "Norvane DNS Server"},
      {"Languages", "", "en", "", "Norvane DNS Server"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(std::string(test.user) + "|" + test.machine + "|" + test.locale);
    const LanguageChoice choice = choose_language(test.user, test.machine, test.locale, directory_);
    const std::string expected_path =
        *test.file ? directory_ + "Languages/" + test.file : std::string();
    EXPECT_EQ(choice.path, expected_path);
    EXPECT_EQ(choice.file.has_value(), *test.file != '\0');
    EXPECT_EQ(choice.window_title, test.title);
  }
  // A file that is not a language file changes no text.
  const LanguageChoice rejected = choose_language("nolanguage.ini", "", "en", directory_);
  EXPECT_EQ(load_text(rejected, 12, "READY", 64), "Ready on Port");
  EXPECT_EQ(rejected.failed_text, "Failed to create dialog");
  const LanguageChoice german = choose_language("", "", "de", directory_);
  EXPECT_EQ(german.failed_text, "Dialog konnte nicht geöffnet werden");
}

TEST_F(LanguageFileTest, GermanLocaleWithoutGermanFileGetsBuiltInTexts) {
  const LanguageChoice choice = choose_language("", "", "de_DE", directory_);
  EXPECT_TRUE(choice.path.empty());
  EXPECT_FALSE(choice.file.has_value());
  EXPECT_EQ(choice.window_title, kProductTitle);
  EXPECT_EQ(choice.failed_text, "Failed to create dialog");
}

TEST_F(LanguageFileTest, UnreadableFileGetsBuiltInTexts) {
  const std::string path =
      write_language("deutsch.ini", "[Common]\nLANGUAGE=Deutsch\nTitle=Nicht lesbar\n");
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  // Root reads any file whatever its mode; a directory of that name is
  // unreadable as a file for everyone.
  if (::geteuid() == 0) {
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
  }
  EXPECT_FALSE(LanguageFile::load(path).has_value());
  const LanguageChoice choice = choose_language("deutsch.ini", "", "de", directory_);
  EXPECT_TRUE(choice.path.empty());
  EXPECT_EQ(choice.window_title, kProductTitle);
}

TEST_F(LanguageFileTest, LoadTextFallsBackToTheBuiltInTableAndCuts) {
  write_language("t.ini",
                 "[Common]\nLANGUAGE=T\n[Strings]\nREADY=Bereit auf Port\nNAME=\n"
                 "General=Allgemein\n");
  const LanguageChoice translated = choose_language("t.ini", "", "en", directory_);
  const LanguageChoice builtin = choose_language("", "", "en", directory_);
  struct Case {
    const LanguageChoice* language;
    int id;
    const char* key;
    size_t size;
    const char* expected;
  };
  const Case cases[] = {
      {&translated, 12, "READY", 64, "Bereit auf Port"},
      {&translated, 12, "READY", 7, "Bereit"},
      {&translated, 17, "NAME", 32, "Name"},
      {&translated, 0, "General", 32, "Allgemein"},
      {&translated, 0, "Server", 32, ""},
      {&builtin, 0, "General", 32, ""},
      {&builtin, 13, "ERROR_PORT", 64, "Failed to listen on Port"},
      {&builtin, 13, "ERROR_PORT", 7, "Failed"},
      {&builtin, 37, "MORE_A", 32, " "},
      {&builtin, 44, "MX", 32, "Mail Server (MX)"},
      {&builtin, 99, "NOTHING", 32, ""},
  };
  for (const Case& test : cases) {
    EXPECT_EQ(load_text(*test.language, test.id, test.key, test.size), test.expected)
        << test.key << " size " << test.size;
  }
}

TEST_F(LanguageFileTest, HostileFilesLoadWithinBounds) {
  std::string many = "[Common]\nLANGUAGE=Big\n[Strings]\n";
  for (int i = 0; i < 10000; ++i)
    many += "KEY" + std::to_string(i) + "=value " + std::to_string(i) + "\n";
  const std::string many_path = write_language("many.ini", many);
  std::optional<LanguageFile> big = LanguageFile::load(many_path);
  ASSERT_TRUE(big.has_value());
  EXPECT_EQ(big->key_count(), 10001u);
  EXPECT_EQ(big->value("Strings", "key9999", 256), "value 9999");

  // A megabyte-long line is kept only up to the line budget, and the lines
  // after it still count.
  std::string long_line = "[Common]\nLANGUAGE=Long\nTitle=" + std::string(1 << 20, 'x') + "\n";
  long_line += "[Strings]\nREADY=" + std::string(1 << 20, '\xC3') + "\nEXIT=Fin\n";
  const std::string long_path = write_language("long.ini", long_line);
  const LanguageChoice choice = choose_language("long.ini", "", "en", directory_);
  ASSERT_TRUE(choice.file.has_value());
  EXPECT_EQ(choice.window_title, std::string(63, 'x'));
  EXPECT_EQ(load_text(choice, 10, "EXIT", 32), "Fin");
  const std::optional<std::string> title = choice.file->value("Common", "Title", 1 << 21);
  ASSERT_TRUE(title.has_value());
  EXPECT_LE(title->size(), LanguageFile::kMaxLineBytes);

  // Past the key budget further keys are dropped rather than kept.
  std::string flood = "[S]\n";
  for (size_t i = 0; i < LanguageFile::kMaxKeys + 10; ++i)
    flood += "k" + std::to_string(i) + "=v\n";
  const LanguageFile flooded = LanguageFile::parse(flood);
  EXPECT_EQ(flooded.key_count(), LanguageFile::kMaxKeys);
  EXPECT_FALSE(flooded.value("S", "k" + std::to_string(LanguageFile::kMaxKeys), 8).has_value());
}

TEST_F(LanguageFileTest, ListsIniFilesSorted) {
  EXPECT_TRUE(list_language_files(directory_ + "nowhere/").empty());
  write_language("francais.ini", "");
  write_language("Deutsch.INI", "");
  write_language("readme.txt", "");
  std::filesystem::create_directory(directory_ + "Languages/folder.ini");
  EXPECT_EQ(list_language_files(directory_),
            (std::vector<std::string>{"Deutsch.INI", "francais.ini"}));
}

TEST(ResourceDirectoryTest, EnvironmentThenShareFolderThenProgramFolder) {
  const auto exists = [](const std::string& path) { return path == "/opt/nv/share/norvane/"; };
  const auto missing = [](const std::string&) { return false; };
  struct Case {
    const char* environment;
    const char* program;
    bool (*share_exists)(const std::string&);
    const char* expected;
  };
  const Case cases[] = {
      {"/data/res", "/opt/nv/bin/", exists, "/data/res/"},
      {"/data/res//", "/opt/nv/bin/", exists, "/data/res/"},
      {"", "/opt/nv/bin/", exists, "/opt/nv/share/norvane/"},
      {"", "/build/bin/", missing, "/build/bin/"},
      {"", "/build/default/gui/", exists, "/build/default/gui/"},
  };
  for (const Case& test : cases) {
    EXPECT_EQ(choose_resource_directory(test.environment, test.program, test.share_exists),
              test.expected)
        << test.environment << "|" << test.program;
  }
}

// Every key that the program asks for, with the size of the buffer it reads
// the text into (bytes including the terminator). A translation must have each
// key, non-empty, and fit its buffer so that nothing is cut.
struct ShippedKey {
  const char* section;
  const char* key;
  size_t size;
};

constexpr ShippedKey kShippedKeys[] = {
    {"Common", "LANGUAGE", 32},
    {"Common", "VERSION", 32},
    {"Common", "AUTHOR", 64},
    {"Common", "Title", 64},
    {"Menu", "FILE", 256},
    {"Menu", "OPTIONS", 256},
    {"Menu", "WINDOW", 256},
    {"Menu", "HELP", 256},
    {"Menu", "STATISTICS", 256},
    {"Menu", "LOG", 256},
    {"Menu", "EXIT", 256},
    {"Menu", "MENU", 256},
    {"Menu", "SECURITY", 256},
    {"Menu", "ADD", 256},
    {"Menu", "DOMAIN", 256},
    {"Menu", "CACHE", 256},
    {"Menu", "DATABASE", 256},
    {"Menu", "CONTENTS", 256},
    {"Menu", "LICENSE", 256},
    {"Menu", "ABOUT", 256},
    {"Control", "ACCESS", 256},
    {"Control", "ADDINFO", 256},
    {"Control", "ANSWERS", 256},
    {"Control", "AUTO_DNS", 256},
    {"Control", "AUTO_IF", 256},
    {"Control", "AVAILABLE", 256},
    {"Control", "CACHECLEAR", 256},
    {"Control", "CACHEDUMP", 256},
    {"Control", "CACHEMAX", 256},
    {"Control", "CANCEL", 256},
    {"Control", "CLIENTTTL", 256},
    {"Control", "CNAME_Q", 256},
    {"Control", "DAILY", 256},
    {"Control", "DOM_ADMIN", 256},
    {"Control", "DOM_EXPIRES", 256},
    {"Control", "DOM_NAME", 256},
    {"Control", "DOM_REFRESH", 256},
    {"Control", "DOM_RETRY", 256},
    {"Control", "DOM_SERIAL", 256},
    {"Control", "DOM_SERVER", 256},
    {"Control", "ENTRIES", 256},
    {"Control", "EXTERNAL", 256},
    {"Control", "FILE", 256},
    {"Control", "FORWARD", 256},
    {"Control", "HOSTRANGE", 256},
    {"Control", "HOST_Q", 256},
    {"Control", "ICONIC", 256},
    {"Control", "IP1", 256},
    {"Control", "IP2", 256},
    {"Control", "IP3", 256},
    {"Control", "IP4", 256},
    {"Control", "LANGUAGE", 256},
    {"Control", "LOADED", 256},
    {"Control", "LOG", 256},
    {"Control", "MAIL_Q", 256},
    {"Control", "MONTHLY", 256},
    {"Control", "NAME_Q", 256},
    {"Control", "NEWLOG", 256},
    {"Control", "PRIMARY", 256},
    {"Control", "PRINT", 256},
    {"Control", "PROTOCOL", 256},
    {"Control", "PTR_Q", 256},
    {"Control", "QUERIES", 256},
    {"Control", "READ", 256},
    {"Control", "RELOAD", 256},
    {"Control", "REQUESTS", 256},
    {"Control", "SECONDARY", 256},
    {"Control", "SECURITYINFO", 256},
    {"Control", "SERVERTTL", 256},
    {"Control", "SERVICE", 256},
    {"Control", "SETTINGS", 256},
    {"Control", "SUMMARY", 256},
    {"Control", "TRANSFER", 256},
    {"Control", "TRANSLATION", 256},
    {"Control", "TRAY", 256},
    {"Control", "TTL", 256},
    {"Control", "TYPE_Q", 256},
    {"Control", "UPDATES", 256},
    {"Control", "WRITE", 256},
    {"Control", "ZONE_Q", 256},
    {"Strings", "ADD", 256},
    {"Strings", "DOMAIN", 256},
    {"Strings", "PROTOCOL", 256},
    {"Strings", "SECURITY", 256},
    {"Strings", "STATISTICS", 256},
    {"Strings", "General", 32},
    {"Strings", "Server", 32},
    {"Strings", "Cache", 32},
    {"Strings", "Language", 32},
    {"Strings", "FAILED", 64},
    {"Strings", "EXIST", 64},
    {"Strings", "NODOMAIN", 64},
    {"Strings", "NOMAIL", 64},
    {"Strings", "VERSION", 32},
    {"Strings", "REMOVE", 32},
    {"Strings", "EXIT", 32},
    {"Strings", "ENTRIES", 64},
    {"Strings", "READY", 64},
    {"Strings", "ERROR_PORT", 64},
    {"Strings", "ERROR_INIT", 128},
    {"Strings", "PREFERENCES", 32},
    {"Strings", "NAME", 32},
    {"Strings", "TYPE", 32},
    {"Strings", "RESOURCE", 32},
    {"Strings", "TTL", 32},
    {"Strings", "ACCESS", 32},
    {"Strings", "RANGE", 32},
    {"Strings", "DATE", 16},
    {"Strings", "TIME", 16},
    {"Strings", "OPER", 16},
    {"Strings", "LANGUAGE", 32},
    {"Strings", "MODULE", 32},
    {"Strings", "NAME_A", 32},
    {"Strings", "NAME_NS", 32},
    {"Strings", "NAME_CNAME", 32},
    {"Strings", "NAME_MX", 32},
    {"Strings", "ADDR_A", 32},
    {"Strings", "ADDR_NS", 32},
    {"Strings", "ADDR_CNAME", 32},
    {"Strings", "ADDR_MX", 32},
    {"Strings", "MORE_A", 32},
    {"Strings", "MORE_NS", 32},
    {"Strings", "MORE_CNAME", 32},
    {"Strings", "MORE_MX", 32},
    {"Strings", "A", 32},
    {"Strings", "NS", 32},
    {"Strings", "CNAME", 32},
    {"Strings", "MX", 32},
};

TEST(ShippedLanguageTest, EveryKeyIsTranslatedAndFitsItsBuffer) {
  for (const char* name : {"deutsch.ini", "francais.ini"}) {
    SCOPED_TRACE(name);
    const std::optional<LanguageFile> file =
        LanguageFile::load(std::string(NORVANE_SOURCE_DIR) + "/languages/" + name);
    ASSERT_TRUE(file.has_value());
    for (const ShippedKey& entry : kShippedKeys) {
      const std::optional<std::string> whole = file->value(entry.section, entry.key, 4096);
      ASSERT_TRUE(whole.has_value()) << entry.section << "/" << entry.key;
      EXPECT_LT(whole->size(), entry.size) << entry.section << "/" << entry.key << ": " << *whole;
    }
    // Every menu item keeps an accelerator, and no two items of one menu share
    // it (else the key would reach only the first of them).
    const std::vector<std::vector<const char*>> menus = {{"FILE", "OPTIONS", "WINDOW", "HELP"},
                                                         {"STATISTICS", "LOG", "EXIT"},
                                                         {"MENU", "SECURITY", "ADD", "DOMAIN"},
                                                         {"CACHE", "DATABASE"},
                                                         {"CONTENTS", "LICENSE", "ABOUT"}};
    for (const auto& menu : menus) {
      std::string keys;
      for (const char* key : menu) {
        const std::string text = *file->value("Menu", key, 256);
        const size_t mark = text.find('&');
        ASSERT_TRUE(mark != std::string::npos && mark + 1 < text.size()) << key << ": " << text;
        const char accelerator = static_cast<char>(std::tolower(text[mark + 1]));
        EXPECT_EQ(keys.find(accelerator), std::string::npos) << key << ": " << text;
        keys.push_back(accelerator);
      }
    }
    EXPECT_NE(file->value("Control", "PRINT", 256)->find('&'), std::string::npos);
  }
}

TEST(ShippedLanguageTest, ShippedFilesAreChosenByName) {
  const std::string resources = std::string(NORVANE_SOURCE_DIR) + "/";
  // The source tree spells the folder in lower case; the installed one is
  // "Languages", so link a temporary folder of that name.
  char pattern[] = "/tmp/norvane-res-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string directory = std::string(pattern) + "/";
  std::filesystem::create_directory_symlink(resources + "languages", directory + "Languages");
  EXPECT_EQ(list_language_files(directory),
            (std::vector<std::string>{"deutsch.ini", "francais.ini"}));
  const LanguageChoice german = choose_language("", "", "de", directory);
  EXPECT_EQ(german.window_title, "Norvane DNS-Server");
  EXPECT_EQ(load_text(german, 12, "READY", 64), "Bereit auf Port");
  const LanguageChoice french = choose_language("francais.ini", "", "de", directory);
  EXPECT_EQ(french.window_title, "Serveur DNS Norvane");
  EXPECT_EQ(load_text(french, 11, "ENTRIES", 64), "entrées");
  std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace norvane
