// `verdan restore` run as a program: archives made by zip tools and by hand, damaged and
// hostile ones, working files that stand in the way, and what an interrupted restore left.
#include "cli/command_fixture.h"

namespace {

using namespace verdan::testing::commands;
using RestoreCommand = BackupCommand;

TEST_F(RestoreCommand, RestoreTakesArchivesOfZipAndAsksFirst) {
  std::string original = ReadFile(work + "/kupci.tps");
  ASSERT_EQ(
      RunProcess({"/usr/bin/zip", "-q", "-P", "381", dest + "/zip.zip", "kupci.tps", "ARHIVE.TPS"},
                 work)
          .status,
      0);
  WriteFile(work + "/kupci.tps", "promijenjeno");

  // Without --yes and without a terminal the warning takes its default: nothing changes.
  ProcessResult no = Verdan(work, {"restore", dest + "/zip.zip"});
  EXPECT_EQ(no.status, 1);
  EXPECT_EQ(ReadFile(work + "/kupci.tps"), "promijenjeno");
  // The warning names the files the archive would replace, the program's tables among them.
  // Each file comes with its size and date as the archive has them.
  const std::regex details(R"( \(\d+ [KMG]B, \d\d\.\d\d\.\d{4} \d\d:\d\d\))");
  EXPECT_TRUE(std::regex_search(no.err, std::regex("kupci\\.tps" + std::string(R"( \(20 KB, )"))))
      << no.err;
  EXPECT_EQ(
      std::regex_replace(no.err, details, ""),
      "[PAŽNJA!] Pazite da ne prebrišete trenutne radne podatke!! \nKoristiti uz konzultaciju "
      "sa osobljem za podršku!\n\nZamijenit će se radne datoteke u " +
          Native(work) + ":\nkupci.tps, ARHIVE.TPS\nMeđu njima su tablice programa: ARHIVE.TPS\n");

  ProcessResult yes = Verdan(work, {"restore", dest + "/zip.zip", "--yes"});
  EXPECT_EQ(yes.status, 0) << yes.err;
  EXPECT_NE(yes.err.find("[ OBAVIJEST !]  Dearhiviranje uspješno završilo !"), std::string::npos);
  EXPECT_EQ(ReadFile(work + "/kupci.tps"), original);

  ProcessResult missing = Verdan(work, {"restore", "nema.zip", "--yes"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("Ne postoji ARHIV sa tim imenom !"), std::string::npos);
}

TEST_F(RestoreCommand, UnsafeOrDamagedArchivesLeaveEverythingAsItWas) {
  std::string kupci = ReadFile(work + "/kupci.tps");
  std::string arhive = ReadFile(work + "/ARHIVE.TPS");
  ASSERT_EQ(RunProcess({"/usr/bin/python3", "-c",
                        "import zipfile\n"
                        "z=zipfile.ZipFile('" +
                            HostPath(dest) +
                            "/zlo.zip','w')\n"
                            "z.writestr('kupci.tps','tuđe')\n"
                            "z.writestr('../izvan.tps','izvan')\n"},
                       dir.path())
                .status,
            0);
  ProcessResult r = Verdan(work, {"restore", dest + "/zlo.zip", "--yes"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("GREŠKA : -7\nNesiguran naziv zapisa u arhivi (izlazi iz direktorija za "
                       "dearhiviranje): ../izvan.tps\n"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(dir.File("izvan.tps")));
  EXPECT_EQ(ReadFile(work + "/kupci.tps"), kupci);

  ASSERT_EQ(Verdan(work, {"backup", "dest"}).status, 0);
  std::string archive = dest + "/" + Zips(dest).back();
  std::string good = ReadFile(archive);
  WriteFile(work + "/kupci.tps", "radna");
  WriteFile(dest + "/kratka.zip", good.substr(0, good.size() - 200));
  r = Verdan(work, {"restore", dest + "/kratka.zip", "--yes"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("GREŠKA : -"), std::string::npos);
  EXPECT_EQ(ReadFile(work + "/kupci.tps"), "radna");
  EXPECT_EQ(ReadFile(work + "/ARHIVE.TPS"), arhive);
}

// A restore replaces every working file or none: a directory standing at the name of the
// third of four files makes the rename fail after two files were replaced, and those two are
// put back.
TEST_F(RestoreCommand, ARestoreReplacesEveryWorkingFileOrNone) {
  for (const char* n : {"a", "b", "c", "d"})
    WriteFile(work + "/" + n + ".tps", std::string("staro ") + n);
  MakeZip(dest + "/nova.zip",
          {{"a.tps", "novo a"}, {"b.tps", "novo b"}, {"c.tps", "novo c"}, {"d.tps", "novo d"}});
  fs::remove(work + "/c.tps");
  fs::create_directory(work + "/c.tps");
  WriteFile(work + "/c.tps/unutra", "ostaje");

  ProcessResult r = Verdan(work, {"restore", dest + "/nova.zip", "--yes"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(
      r.err.find("GREŠKA : -11\nDatoteka se ne može zamijeniti. Na tom mjestu je direktorij: " +
                 Native(work) +
                 "/c.tps (Is a directory)\nSve radne datoteke vraćene su kakve su bile.\n"),
      std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("uspješno"), std::string::npos);
  for (const char* n : {"a", "b", "d"})
    EXPECT_EQ(ReadFile(work + "/" + n + ".tps"), std::string("staro ") + n);
  EXPECT_EQ(ReadFile(work + "/c.tps/unutra"), "ostaje");
  EXPECT_TRUE(Hidden(work).empty()) << Hidden(work)[0];

  fs::remove_all(work + "/c.tps");
  r = Verdan(work, {"restore", dest + "/nova.zip", "--yes"});
  EXPECT_EQ(r.status, 0) << r.err;
  for (const char* n : {"a", "b", "c", "d"})
    EXPECT_EQ(ReadFile(work + "/" + n + ".tps"), std::string("novo ") + n);
  EXPECT_TRUE(Hidden(work).empty());
}

// Archives no ZIP tool would write: entries that share their data (the mark of a zip bomb),
// an entry that claims more than the disk holds, an entry that inflates beyond its size.
// Each is refused and no working file changes.
TEST_F(RestoreCommand, HostileArchivesAreRefusedBeforeTheyWrite) {
  std::string kupci = ReadFile(work + "/kupci.tps");
  WriteFile(work + "/b.tps", "radna b");
  // b.tps's header and data lie inside a.tps's data.
  Python(std::string(kZipHeaders) +
             "b=b'y'*1000\n"
             "inner=local(b'b.tps',zlib.crc32(b),len(b),len(b))+b\n"
             "a=b'x'*10+inner+b'z'*10\n"
             "body=local(b'a.tps',zlib.crc32(a),len(a),len(a))+a\n"
             "cd=central(b'a.tps',zlib.crc32(a),len(a),len(a),0)+central(b'b.tps',zlib.crc32(b),"
             "len(b),len(b),45)\n"
             "open(sys.argv[1],'wb').write(body+cd+end(2,cd,len(body)))\n",
         {dest + "/preklop.zip"});
  ProcessResult r = Verdan(work, {"restore", dest + "/preklop.zip", "--yes"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(
      r.err.find(
          "GREŠKA : -13\nZapisi u arhivi se preklapaju (oštećena ili zlonamjerna arhiva): b.tps\n"),
      std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(work + "/a.tps"));
  EXPECT_EQ(ReadFile(work + "/b.tps"), "radna b");

  // A ZIP64 entry that says it holds a petabyte.
  Python(std::string(kZipHeaders) +
             "data=b'k'*100\n"
             "comp=zlib.compress(data)[2:-4]\n"
             "x=struct.pack('<HHQQ',1,16,1<<50,len(comp))\n"
             "body=local(b'kupci.tps',zlib.crc32(data),0xFFFFFFFF,0xFFFFFFFF,8,x)+comp\n"
             "cd=central(b'kupci.tps',zlib.crc32(data),0xFFFFFFFF,0xFFFFFFFF,0,8,x)\n"
             "open(sys.argv[1],'wb').write(body+cd+end(1,cd,len(body)))\n",
         {dest + "/golema.zip"});
  r = Verdan(work, {"restore", dest + "/golema.zip", "--yes"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("GREŠKA : -14\nDisk je pun: za dearhiviranje treba 1024,0 TB, slobodno je "),
            std::string::npos)
      << r.err;
  EXPECT_EQ(ReadFile(work + "/kupci.tps"), kupci);

  // An entry that says it is empty and inflates to a megabyte: stopped at its size, so even
  // a file size limit of 200 KB is never reached.
  Python(std::string(kZipHeaders) +
             "data=b'\\0'*(1<<20)\n"
             "comp=zlib.compress(data)[2:-4]\n"
             "body=local(b'kupci.tps',0,len(comp),0,8)+comp\n"
             "cd=central(b'kupci.tps',0,len(comp),0,0,8)\n"
             "open(sys.argv[1],'wb').write(body+cd+end(1,cd,len(body)))\n",
         {dest + "/napuhana.zip"});
#ifdef _WIN32
  r = Verdan(work, {"restore", dest + "/napuhana.zip", "--yes"});  // no file size limit there
#else
  r = RunProcess({"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 400; exec \"$0\" restore \"$1\" --yes",
                  VERDAN_BINARY, dest + "/napuhana.zip"},
                 work);
#endif
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("GREŠKA : -6\nZapis u arhivi je oštećen: kupci.tps\n"), std::string::npos)
      << r.err;
  EXPECT_EQ(ReadFile(work + "/kupci.tps"), kupci);
  EXPECT_EQ(Hidden(work), std::vector<std::string>{});
}

// A failed restore removes the directories it made; a name too long for the file system is
// refused before any is made.
TEST_F(RestoreCommand, AFailedRestoreRemovesTheDirectoriesItCreated) {
  MakeZip(dest + "/mape.zip", {{"nova/dublje/x.tps", Noise(5000, 5)}, {"y.tps", Noise(50000, 6)}});
  // Damage y.tps's data.
  Python(
      "import sys,zipfile\n"
      "z=zipfile.ZipFile(sys.argv[1])\n"
      "i=z.getinfo('y.tps')\n"
      "f=open(sys.argv[1],'r+b')\n"
      "f.seek(i.header_offset+30+len('y.tps')+i.compress_size//2)\n"
      "b=f.read(1)\n"
      "f.seek(-1,1)\n"
      "f.write(bytes([b[0]^0x55]))\n",
      {dest + "/mape.zip"});
  // The restore opens the file list again afterwards, which creates its table.
  auto names = [&] {
    std::vector<std::string> n = Names(work);
    std::erase(n, "DATOTEKE.TPS");
    std::erase(n, "verdan.log");  // the log of runs records the failure
    return n;
  };
  std::vector<std::string> before = names();
  ProcessResult r = Verdan(work, {"restore", dest + "/mape.zip", "--yes"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("GREŠKA : -6\nZapis u arhivi je oštećen: y.tps\n"), std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(work + "/nova"));
  EXPECT_EQ(names(), before);

  std::string deep;
  for (int i = 0; i < 42; ++i) deep += std::string(99, static_cast<char>('a' + i % 26)) + "/";
  deep += "x.tps";  // 4205 characters
  MakeZip(dest + "/duga.zip", {{"kupci.tps", "iz arhive"}, {deep, "duboko"}});
  r = Verdan(work, {"restore", dest + "/duga.zip", "--yes"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("GREŠKA : -7\nNaziv zapisa u arhivi je predug: " + deep), std::string::npos);
  EXPECT_EQ(names(), before);
  EXPECT_NE(ReadFile(work + "/kupci.tps"), "iz arhive");
}

// Names compare without regard to case, as on the system the program was made for: an entry
// replaces the working file of its name in any case, and two working files that differ
// only in case are refused rather than one of them guessed.
TEST_F(RestoreCommand, RestoreReplacesTheWorkingFileOfTheSameNameInAnyCase) {
  WriteFile(work + "/racuni.tps", "staro");
  MakeZip(dest + "/slova.zip", {{"RACUNI.TPS", "iz arhive"}, {"Kupci.TPS", "kupci iz arhive"}});
  ProcessResult r = Verdan(work, {"restore", dest + "/slova.zip", "--yes"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(work + "/racuni.tps"), "iz arhive");
  EXPECT_EQ(ReadFile(work + "/kupci.tps"), "kupci iz arhive");
  std::vector<std::string> names = Names(work);
  EXPECT_EQ(std::count(names.begin(), names.end(), "RACUNI.TPS"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "Kupci.TPS"), 0);

#ifndef _WIN32  // two names that differ only in case cannot both exist on Windows
  WriteFile(work + "/SKLADISTE.TPS", "veliko");
  WriteFile(work + "/skladiste.tps", "malo");
  MakeZip(dest + "/skladiste.zip", {{"kupci.tps", "druga"}, {"Skladiste.tps", "iz arhive"}});
  r = Verdan(work, {"restore", dest + "/skladiste.zip", "--yes"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("GREŠKA : -15\nDvije radne datoteke razlikuju se samo po velikim i malim "
                       "slovima: " +
                       work + "/SKLADISTE.TPS, " + work + "/skladiste.tps\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(ReadFile(work + "/SKLADISTE.TPS"), "veliko");
  EXPECT_EQ(ReadFile(work + "/skladiste.tps"), "malo");
  EXPECT_EQ(ReadFile(work + "/kupci.tps"), "kupci iz arhive");
#endif
}

// ---- what an interrupted restore left behind, planted by someone else ----------------------

std::uint32_t Crc32(const std::string& s) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : s) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

// An undo file as a restore writes it: each record a name, its bytes and a mode.
std::string UndoFile(const std::vector<std::tuple<std::string, std::string, unsigned>>& records) {
  std::string out = "verdan-undo 1\n";
  auto put = [&](std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  for (const auto& [name, bytes, mode] : records) {
    out += "VRDU";
    put(name.size(), 4);
    put(bytes.size(), 8);
    put(1700000000, 8);
    put(0, 4);
    put(mode, 4);
    put(Crc32(name + bytes), 4);
    out += name + bytes;
  }
  return out;
}

// Every file under `dir` with its type, permissions and bytes, links as links.
std::string Snapshot(const std::string& dir) {
  std::string out;
  std::vector<std::string> paths;
  for (const auto& e : fs::recursive_directory_iterator(dir)) paths.push_back(e.path().string());
  std::sort(paths.begin(), paths.end());
  for (const auto& p : paths) {
    const fs::file_status st = fs::symlink_status(p);
    out += p + " " + std::to_string(static_cast<int>(st.type())) + " " +
           std::to_string(static_cast<unsigned>(st.permissions())) + " " +
           (st.type() == fs::file_type::regular ? ReadFile(p) : "") + "\n";
  }
  return out;
}

// Journals and undo files that name files through a link in the first, a middle or the last
// component, or with "..", a leading "/" or an empty component, or that would create a file,
// remove one or a directory, or rename one over another there: the next start of each kind
// writes nothing outside the source directory.
TEST_F(RestoreCommand, PlantedJournalsAndUndoFilesNeverWriteOutsideTheSourceDirectory) {
  std::string outside = dir.File("izvan");
  fs::create_directories(outside + "/d");
  WriteFile(outside + "/x", "tuđe");
  WriteFile(outside + "/keep", "napadačevo");
  fs::create_directories(work + "/a");
#ifndef _WIN32  // the names through links are tried where links can be made without privileges
  fs::create_directory_symlink(outside, work + "/SUB");
  fs::create_directory_symlink(outside, work + "/a/SUB");
  fs::create_symlink(outside + "/x", work + "/x");
#endif
  MakeZip(dest + "/nova.zip", {{"kupci.tps", "iz arhive"}});
  struct stat victim {};
  ASSERT_EQ(::stat((outside + "/x").c_str(), &victim), 0);
  const std::string before = Snapshot(outside), kupci = ReadFile(work + "/kupci.tps");
  const std::string ino = std::to_string(victim.st_dev) + " " + std::to_string(victim.st_ino);

  auto head = [](int version) {
    return "verdan-restore " + std::to_string(version) + "\npid 999999\nphase commit\n";
  };
  struct Plant {
    std::string journal, undo;
  };
  std::vector<Plant> plants;
#ifdef _WIN32
  const std::vector<std::string> throughLinks;
#else
  const std::vector<std::string> throughLinks = {"SUB/x", "a/SUB/x", "x", "SUB/novi", "a/SUB/novi"};
#endif
  for (const std::string& name : throughLinks) {
    std::string undo = UndoFile({{name, "ZLO", 04777}});
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08x", Crc32("ZLO"));
    plants.push_back({head(1) + "undo\nfile " + name + " - - 0 0\nend\n", undo});
    plants.push_back({head(2) + "undo\nfile " + name + " - - 0 0\ninplace " + name + " 3 0 " +
                          std::to_string(Crc32("ZLO")) + " " + hex + "\nend\n",
                      undo});
    plants.push_back({head(1) + "file " + name + " - keep 0 0\nend\n", ""});
    plants.push_back({head(2) + "file " + name + " .x.vrd999999.abcdef - " + ino + "\nend\n", ""});
  }
  // Names that climb out, start at the root or have an empty component.
  for (const std::string& name :
       std::vector<std::string>{"../izvan/x", outside + "/x", "a//x", "a/./../../izvan/x"}) {
    plants.push_back(
        {head(1) + "undo\nfile " + name + " - - 0 0\nend\n", UndoFile({{name, "ZLO", 04777}})});
    plants.push_back(
        {head(1) + "undo\nfile kupci.tps - - 0 0\nend\n", UndoFile({{name, "ZLO", 04777}})});
    plants.push_back({head(2) + "file " + name + " - keep 0 0\nend\n", ""});
  }
#ifndef _WIN32
  plants.push_back({head(1) + "dir SUB/d\ndir a/SUB/d\nend\n", ""});
  plants.push_back({head(2) + "dir x\nend\n", ""});
#endif

  int tried = 0, held = 0;
  for (const Plant& plant : plants) {
    for (const std::vector<std::string>& start :
         {std::vector<std::string>{"backup", "dest"},
          std::vector<std::string>{"restore", dest + "/nova.zip"}}) {
      WriteFile(work + "/.verdan-restore.journal", plant.journal);
      if (!plant.undo.empty()) WriteFile(work + "/.verdan-restore.undo", plant.undo);
      ProcessResult r = Verdan(work, start);
      ++tried;
      bool ok = Snapshot(outside) == before && ReadFile(work + "/kupci.tps") == kupci &&
                r.err.find("dearhiviranj") != std::string::npos;
      EXPECT_TRUE(ok) << start[0] << " after\n"
                      << plant.journal << "\n"
                      << r.err << Snapshot(outside);
      if (ok) ++held;
      fs::remove(work + "/.verdan-restore.journal");
      fs::remove(work + "/.verdan-restore.undo");
    }
  }
  std::printf("[ planted  ] %d starts after planted journals, %d wrote nothing outside\n", tried,
              held);
  EXPECT_EQ(tried, held);
}

// A journal of the earlier form, the user's own, still puts the originals back; the same
// journal or undo file owned by another user, writable by others, or a link, is refused:
// nothing is replayed, it stays, every start says so and a restore is refused too.
TEST_F(RestoreCommand, OnlyTheUsersOwnJournalAndUndoFileAreReplayed) {
  const std::string journal = work + "/.verdan-restore.journal",
                    undo = work + "/.verdan-restore.undo";
  const std::string legit =
      "verdan-restore 1\npid 999999\nphase commit\nundo\nfile kupci.tps - - 0 0\nend\n";
  auto plant = [&] {
    WriteFile(journal, legit);
    WriteFile(undo, UndoFile({{"kupci.tps", "prije dearhiviranja", 0644}}));
  };
  MakeZip(dest + "/nova.zip", {{"kupci.tps", "iz arhive"}});
  const std::string kupci = ReadFile(work + "/kupci.tps");

  plant();
  ProcessResult r = Verdan(work, {"backup", "dest"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(
      r.err.find("Prethodno dearhiviranje bilo je prekinuto; radne datoteke vraćene su kakve su "
                 "bile prije njega:\n" +
                 Native(work) + "\nVraćene datoteke: kupci.tps\n"),
      std::string::npos)
      << r.err;
  EXPECT_EQ(ReadFile(work + "/kupci.tps"), "prije dearhiviranja");
  EXPECT_FALSE(fs::exists(journal));
  EXPECT_NE(ReadFile(work + "/verdan.log").find("restore\t-"), std::string::npos);
  // `verify` repairs first too, like every start.
  plant();
  r = Verdan(work, {"verify", dest + "/nova.zip"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("Vraćene datoteke: kupci.tps"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(work + "/kupci.tps"), "prije dearhiviranja");
  EXPECT_FALSE(fs::exists(journal));
  WriteFile(work + "/kupci.tps", kupci);

#ifndef _WIN32  // group and other write bits, owners and links are POSIX file attributes
  struct Case {
    std::string what, file;
    std::function<void()> spoil;
  };
  std::vector<Case> cases = {
      {"journal writable by the group", journal,
       [&] { fs::permissions(journal, fs::perms(0664)); }},
      {"undo file writable by all", undo, [&] { fs::permissions(undo, fs::perms(0646)); }},
      {"journal a link", journal,
       [&] {
         fs::rename(journal, dir.File("drugi.journal"));
         fs::create_symlink(dir.File("drugi.journal"), journal);
       }},
  };
  if (::geteuid() == 0) {
    cases.push_back({"journal of another user", journal,
                     [&] { ASSERT_EQ(::chown(journal.c_str(), 65534, 65534), 0); }});
    cases.push_back({"undo file of another user", undo,
                     [&] { ASSERT_EQ(::chown(undo.c_str(), 65534, 65534), 0); }});
  } else {
    std::printf("[ planted  ] not run as root: files of another user not tried\n");
  }
  int tried = 0, held = 0;
  for (const Case& c : cases) {
    plant();
    c.spoil();
    for (const std::vector<std::string>& start :
         {std::vector<std::string>{"backup", "dest"},
          std::vector<std::string>{"restore", dest + "/nova.zip", "--yes"}}) {
      r = Verdan(work, start);
      ++tried;
      bool ok = ReadFile(work + "/kupci.tps") == kupci && fs::exists(fs::symlink_status(journal)) &&
                r.err.find("Zapis prekinutog dearhiviranja nije pouzdan") != std::string::npos &&
                r.err.find(c.file) != std::string::npos && (start[0] == "backup" || r.status == 1);
      EXPECT_TRUE(ok) << c.what << ", " << start[0] << ": " << r.err;
      if (ok) ++held;
    }
    fs::remove(journal);
    fs::remove(undo);
  }
  std::printf("[ planted  ] %d starts after untrusted journals, %d replayed nothing\n", tried,
              held);
  EXPECT_EQ(tried, held);
#endif
}

#ifndef _WIN32  // a FIFO is made with mkfifo

// A FIFO at a working file's name is never opened: the restore ends with a message naming it
// and replaces nothing.
TEST_F(RestoreCommand, AFifoAtAWorkingNameIsRefusedWithoutBlocking) {
  MakeZip(dest + "/nova.zip", {{"ARHIVE.TPS", "nova arhiva"}, {"kupci.tps", "novi kupci"}});
  const std::string arhive = ReadFile(work + "/ARHIVE.TPS");
  fs::remove(work + "/kupci.tps");
  ASSERT_EQ(::mkfifo((work + "/kupci.tps").c_str(), 0644), 0);
  ProcessResult r = Verdan(work, {"restore", dest + "/nova.zip", "--yes"}, 60);
  EXPECT_EQ(r.status, 1) << r.err;  // a run that blocked would have been killed (status 137)
  EXPECT_NE(
      r.err.find("GREŠKA : -16\nNa mjestu radne datoteke nije obična datoteka (cijev, uređaj ili "
                 "utičnica); ništa nije zamijenjeno: " +
                 work + "/kupci.tps\n"),
      std::string::npos)
      << r.err;
  EXPECT_EQ(ReadFile(work + "/ARHIVE.TPS"), arhive);
  EXPECT_TRUE(fs::is_fifo(work + "/kupci.tps"));
  EXPECT_TRUE(Hidden(work).empty());
}

#endif

#ifndef _WIN32  // the passwords are typed on a pseudo-terminal made with POSIX calls
// An archive of `files` (in `cwd`) with every entry encrypted (AES-256) under `password`,
// as other tools make them.
void EncryptedZip(const std::string& archive, const std::string& cwd, const std::string& password,
                  std::vector<std::string> files) {
  std::vector<std::string> argv{"/usr/bin/7z",   "a",    "-bd", "-tzip", "-mem=AES256",
                                "-p" + password, archive};
  argv.insert(argv.end(), files.begin(), files.end());
  ProcessResult r = RunProcess(argv, cwd);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
}

// `verdan settings --archive-password-stdin` with `password` as its one line.
void StoreArchivePassword(const std::string& work, const std::string& password) {
  ProcessResult r = RunProcess({"/bin/sh", "-c",
                                "printf '%s\\n' \"$PW\" | \"$0\" settings "
                                "--archive-password-stdin",
                                VERDAN_BINARY},
                               work, {"PW=" + password});
  ASSERT_EQ(r.status, 0) << r.err;
}

// Runs verdan on a terminal of its own (a pseudo-terminal): every choice ("> ") and password
// question is answered with the next of the answers; prints what the terminal showed and
// "status=N". Bounded: the program is killed after 60 seconds.
constexpr const char* kOnTerminal = R"PY(
import json, os, pty, select, sys, time
binary, cwd, args, answers = sys.argv[1], sys.argv[2], json.loads(sys.argv[3]), json.loads(sys.argv[4])
pid, fd = pty.fork()
if pid == 0:
    os.chdir(cwd)
    os.execv(binary, [binary] + args)
out, asked = b'', {b'> ': 0, b'zaporku arhive: ': 0}
deadline = time.time() + 60
while time.time() < deadline:
    if select.select([fd], [], [], 0.2)[0]:
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            break
        if not chunk:
            break
        out += chunk
    for prompt in asked:
        if out.count(prompt) > asked[prompt] and out.endswith(prompt) and answers:
            asked[prompt] = out.count(prompt)
            os.write(fd, answers.pop(0).encode() + b'\n')
if time.time() >= deadline:
    os.kill(pid, 9)
status = os.waitpid(pid, 0)[1]
sys.stdout.write(out.decode('utf-8', 'replace').replace('\r\n', '\n'))
print('status=%d' % os.waitstatus_to_exitcode(status))
)PY";

std::string Json(const std::vector<std::string>& words) {
  std::string out = "[";
  for (const std::string& w : words) out += (out.size() > 1 ? ",\"" : "\"") + w + "\"";
  return out + "]";
}

std::string OnTerminal(const std::string& cwd, const std::vector<std::string>& args,
                       const std::vector<std::string>& answers) {
  ProcessResult r = RunProcess(
      {"/usr/bin/python3", "-c", kOnTerminal, VERDAN_BINARY, cwd, Json(args), Json(answers)}, cwd,
      {}, 90);
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

// An encrypted archive opens with the stored archive password, or with the built-in one that
// archives of other tools were made with; under any other password nothing is restored, the
// run says why and fails, and the password reaches neither the log of runs nor the output.
TEST_F(RestoreCommand, EncryptedArchivesOpenWithTheStoredPasswordOrNotAtAll) {
  const std::string stored = "Ured-2026 tajna";
  StoreArchivePassword(work, stored);
  const std::string kupci = "kupci 2026";
  WriteFile(work + "/kupci.tps", kupci);
  WriteFile(work + "/roba.tps", "roba 2026");
  const std::string arhive = ReadFile(work + "/ARHIVE.TPS");
  EncryptedZip(dest + "/sifra.zip", work, stored, {"kupci.tps", "roba.tps"});
  EncryptedZip(dest + "/tuda.zip", work, "druga zaporka", {"kupci.tps", "roba.tps"});
  ASSERT_EQ(RunProcess({"/usr/bin/zip", "-q", "-P", "381", dest + "/stara.zip", "kupci.tps"}, work)
                .status,
            0);

  for (const std::string name : {"sifra.zip", "stara.zip"}) {
    WriteFile(work + "/kupci.tps", "promijenjeno");
    ProcessResult r = Verdan(work, {"restore", dest + "/" + name, "--yes"});
    EXPECT_EQ(r.status, 0) << name << r.err;
    EXPECT_EQ(ReadFile(work + "/kupci.tps"), kupci) << name;
    ProcessResult verified = Verdan(work, {"verify", dest + "/" + name});
    EXPECT_EQ(verified.status, 0) << name << verified.err;
  }

  // Under another password, without a terminal to ask on: nothing is written.
  WriteFile(work + "/kupci.tps", "radna");
  ProcessResult wrong = Verdan(work, {"restore", dest + "/tuda.zip", "--yes"});
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.err.find("GREŠKA : -8\nArhiva je šifrirana, a zaporka nije ispravna ili nije "
                           "upisana. Ništa nije raspakirano, radne datoteke su kakve su bile:\n" +
                           dest + "/tuda.zip\n"),
            std::string::npos)
      << wrong.err;
  EXPECT_EQ(ReadFile(work + "/kupci.tps"), "radna");
  EXPECT_EQ(ReadFile(work + "/roba.tps"), "roba 2026");
  EXPECT_TRUE(ReadFile(work + "/ARHIVE.TPS") == arhive);
  EXPECT_TRUE(Hidden(work).empty());
  ProcessResult unverified = Verdan(work, {"verify", dest + "/tuda.zip"});
  EXPECT_EQ(unverified.status, 1);
  EXPECT_NE(unverified.err.find("verdan verify: arhiva je šifrirana, a zaporka nije ispravna ili "
                                "nije upisana (2 od 2 datoteka nije pročitano).\n"),
            std::string::npos)
      << unverified.err;
  EXPECT_EQ(unverified.err.find("oštećena"), std::string::npos) << unverified.err;

  // An archive of our own, made while the password is set, comes back with it.
  ProcessResult backup = Verdan(work, {"backup", "dest"});
  ASSERT_EQ(backup.status, 0) << backup.err;
  WriteFile(work + "/kupci.tps", "opet promijenjeno");
  ProcessResult own = Verdan(work, {"restore", backup.out.substr(0, backup.out.size() - 1), "-y"});
  EXPECT_EQ(own.status, 0) << own.err;
  EXPECT_EQ(ReadFile(work + "/kupci.tps"), "radna");

  const std::string log = ReadFile(work + "/verdan.log");
  EXPECT_NE(log.find("tuda.zip"), std::string::npos);
  for (const std::string& text : {log, wrong.err, own.err, backup.out})
    EXPECT_EQ(text.find(stored), std::string::npos);
}

// On a terminal the restore asks for the password of an archive the stored one does not open,
// without showing what is typed, and tries again after a wrong one; an empty answer gives up
// with nothing written. `verify` asks the same way.
TEST_F(RestoreCommand, OnATerminalThePasswordIsAskedWithoutEchoAndTriedAgain) {
  const std::string kupci = "kupci 2026";
  WriteFile(work + "/kupci.tps", kupci);
  EncryptedZip(dest + "/tuda.zip", work, "druga zaporka", {"kupci.tps"});

  WriteFile(work + "/kupci.tps", "radna");
  std::string given = OnTerminal(work, {"restore", dest + "/tuda.zip"}, {"1", ""});
  EXPECT_NE(given.find("Arhiva je šifrirana i ne otvara se spremljenom zaporkom.\nUpišite "
                       "zaporku arhive: \n"),
            std::string::npos)
      << given;
  EXPECT_NE(given.find("Ništa nije raspakirano"), std::string::npos) << given;
  EXPECT_NE(given.find("status=1"), std::string::npos) << given;
  EXPECT_EQ(ReadFile(work + "/kupci.tps"), "radna");

  std::string typed =
      OnTerminal(work, {"restore", dest + "/tuda.zip"}, {"1", "kriva-zaporka", "druga zaporka"});
  EXPECT_NE(typed.find("Zaporka nije ispravna.\nUpišite zaporku arhive: "), std::string::npos)
      << typed;
  EXPECT_NE(typed.find("Dearhiviranje uspješno završilo !"), std::string::npos) << typed;
  EXPECT_NE(typed.find("status=0"), std::string::npos) << typed;
  EXPECT_EQ(typed.find("kriva-zaporka"), std::string::npos) << typed;  // never echoed
  EXPECT_EQ(typed.find("druga zaporka"), std::string::npos) << typed;
  EXPECT_EQ(ReadFile(work + "/kupci.tps"), kupci);

  std::string verified = OnTerminal(work, {"verify", dest + "/tuda.zip"}, {"druga zaporka"});
  EXPECT_NE(verified.find("Arhiva je ispravna"), std::string::npos) << verified;
  EXPECT_NE(verified.find("status=0"), std::string::npos) << verified;
}
#endif

}  // namespace
