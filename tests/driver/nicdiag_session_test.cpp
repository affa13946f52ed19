// nicdiag over long sessions and against the files and streams around it:
// memory that stays bounded however many requests a session makes, inputs
// that are not regular files, EEPROM images saved whole or not at all,
// Ctrl-C, standard output that cannot be written, exit statuses that say
// what happened, and the service commands, which run without the device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../common/run_tool.h"

namespace {

namespace fs = std::filesystem;

Outcome Nicdiag(const std::string &arguments) { return RunTool(NICDIAG_PATH, arguments); }

std::string Dir() {
  std::string dir = ::testing::TempDir() + "nicdiag_session/";
  fs::create_directories(dir);
  return dir;
}

std::string WriteFile(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A profile of the default adapter whose EEPROM is the image `file`
// (relative to the profile), saved back at the end of the run.
std::string SavingProfile(const std::string &path, const std::string &file, unsigned words) {
  return WriteFile(path,
                   "{ \"adapters\": [ { \"bars\": [ { \"type\": \"io\", \"size\": 64, \"address\": \"0xE000\" } ],\n"
                   "  \"eeprom\": { \"words\": " +
                       std::to_string(words) + ", \"file\": \"" + file + "\", \"save\": true } } ] }\n");
}

// A started nicdiag whose standard output and error come through one pipe.
struct Child {
  pid_t pid = -1;
  int out = -1;
  Child(const std::vector<std::string> &arguments, const std::string &stdin_path) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid = fork();
    if (pid == 0) {
      int in = open(stdin_path.c_str(), O_RDONLY);
      dup2(in, 0);
      dup2(fds[1], 1);
      dup2(fds[1], 2);
      close(fds[0]);
      std::vector<char *> argv{const_cast<char *>(NICDIAG_PATH)};
      for (const std::string &a : arguments) argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      execv(NICDIAG_PATH, argv.data());
      _exit(127);
    }
    close(fds[1]);
    out = fds[0];
  }
  // Reads until `text` has appeared (or the output ends).
  bool ReadUntil(std::string &output, const std::string &text) {
    char buffer[4096];
    while (output.find(text) == std::string::npos) {
      ssize_t n = read(out, buffer, sizeof buffer);
      if (n <= 0) return false;
      output.append(buffer, static_cast<size_t>(n));
    }
    return true;
  }
  // Reads the rest and waits: the exit status (-1 after a signal) and the
  // largest resident set in KiB.
  int Finish(std::string &output, long &max_rss_kib) {
    char buffer[65536];
    for (ssize_t n; (n = read(out, buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<size_t>(n));
    close(out);
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    max_rss_kib = usage.ru_maxrss;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

size_t CountLines(const std::string &text, const std::string &start) {
  size_t count = 0;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) count += line.compare(0, start.size(), start) == 0;
  return count;
}

// The line of request i of a session.
using RequestLine = std::string (*)(size_t i);
std::string PciRequest(size_t i) { return "pci read 0 3.0 " + std::to_string((i % 64) * 4) + " 4"; }
// EEPROM and PHY reads by turns, each through the register named (no scan).
std::string PartRequest(size_t i) {
  return i % 2 == 0 ? "eeprom read " + std::to_string(i % 64) + " --register 0xE00E --size 64"
                    : "phy read " + std::to_string(i % 7) + " --register 0xE000";
}

// Runs a script of `requests` lines made by `line`; every line must answer
// (answers start with `answer`). The largest resident set in KiB, and in
// script_bytes the size of the script, which the session holds.
long SessionRss(size_t requests, RequestLine line = PciRequest, const char *answer = "00:03.0 +0x",
                size_t *script_bytes = nullptr) {
  const std::string script = Dir() + "session_" + std::to_string(requests) + ".txt";
  {
    std::ofstream out(script);
    for (size_t i = 0; i < requests; i++) out << line(i) << "\n";
  }
  if (script_bytes != nullptr) *script_bytes = static_cast<size_t>(fs::file_size(script));
  // Under the address sanitizer freed memory is held back (up to 256 MB by
  // default) before reuse; a small quarantine keeps what is measured the
  // program's own.
  const char *sanitizer = std::getenv("ASAN_OPTIONS");
  setenv("ASAN_OPTIONS",
         ((sanitizer != nullptr ? std::string(sanitizer) + ":" : std::string()) + "quarantine_size_mb=1").c_str(), 1);
  Child child({"--script", script}, "/dev/null");
  if (sanitizer != nullptr)
    setenv("ASAN_OPTIONS", sanitizer, 1);
  else
    unsetenv("ASAN_OPTIONS");
  std::string output;
  long rss = 0;
  EXPECT_EQ(child.Finish(output, rss), 0) << output.substr(0, 2000);
  EXPECT_EQ(CountLines(output, answer), requests);
  return rss;
}

TEST(NicdiagSession, AHundredThousandRequestsRunInBoundedMemory) {
  // Each of these requests once took a client buffer of its own, and the
  // session ended after about 1,500 of them.
  const long small = SessionRss(1000);
  const long large = SessionRss(100000);
  // What grows is the script's text (1.9 MB) and nothing per request.
  EXPECT_LT(large - small, 8 * 1024) << "max RSS " << small << " KiB for 1,000 requests, " << large
                                     << " KiB for 100,000";
}

TEST(NicdiagSession, EepromAndPhyTrafficRunsInBoundedMemory) {
  // The parts' recorders once kept 65,536 sessions and frames each, so 300,000
  // reads reached 23 MB; what may grow now is the script's own text.
  size_t small_script = 0, large_script = 0;
  const long small = SessionRss(3000, PartRequest, "00:03.0 8086:1229: ", &small_script);
  const long large = SessionRss(300000, PartRequest, "00:03.0 8086:1229: ", &large_script);
  const long script_kib = static_cast<long>((large_script - small_script) / 1024);
#if defined(__SANITIZE_ADDRESS__)
  const long slack_kib = 8 * 1024;  // the sanitizer's shadow of the script and its own pools
#else
  const long slack_kib = 4 * 1024;
#endif
  EXPECT_LT(large - small, script_kib + slack_kib) << "max RSS " << small << " KiB for 3,000 reads, " << large
                                                   << " KiB for 300,000 (script " << script_kib << " KiB more)";
}

TEST(NicdiagSession, InputsThatAreNotRegularFilesAreRefusedWithoutWaiting) {
  const std::string dir = Dir();
  const std::string fifo = dir + "fifo";
  unlink(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  fs::create_directories(dir + "folder");
  struct Input {
    std::string name, path;
  };
  const std::vector<Input> inputs = {{"FIFO", fifo}, {"device", "/dev/null"}, {"folder", dir + "folder"}};
  for (const Input &input : inputs) {
    const std::string profile = SavingProfile(dir + "image_" + input.name + ".json", input.path, 64);
    struct Case {
      std::string arguments, message;
    };
    const std::vector<Case> cases = {
        {"--script " + input.path, input.path + ": the script is not a regular file"},
        {"--profile " + input.path + " id", input.path + ": the profile is not a regular file"},
        {"--profile " + profile + " id", input.path + ": the EEPROM image is not a regular file"},
        {"eeprom restore " + input.path + " --yes", input.path + ": the image is not a regular file"},
    };
    for (const Case &c : cases) {
      // timeout: a FIFO opened for reading would wait for a writer.
      Outcome o = RunTool("timeout", "20 " + std::string(NICDIAG_PATH) + " " + c.arguments);
      EXPECT_EQ(o.exit_code, 2) << input.name << ": " << c.arguments << "\n" << o.out;
      EXPECT_NE(o.out.find(c.message), std::string::npos) << input.name << ": " << c.arguments << "\n" << o.out;
    }
  }
  // Output goes only to regular files: a device named by --out stays.
  for (const char *command : {"eeprom dump --out /dev/null", "dmi --out /dev/null"}) {
    Outcome o = Nicdiag(command);
    EXPECT_EQ(o.exit_code, 1) << command << "\n" << o.out;
    EXPECT_NE(o.out.find("/dev/null: not a regular file"), std::string::npos) << command << "\n" << o.out;
    struct stat info {};
    EXPECT_TRUE(stat("/dev/null", &info) == 0 && S_ISCHR(info.st_mode)) << command;
  }
  // A script on standard input, which may well be a pipe.
  Outcome piped = RunTool("printf 'id\\nstall 3\\n' |", std::string(NICDIAG_PATH) + " --script - 2>&1 #");
  EXPECT_EQ(piped.exit_code, 0) << piped.out;
  EXPECT_EQ(piped.out, "identifier 0x21\nstalled 3 us\n");
}

// The other statuses are among the cases of nicdiag_bad_input_test.cpp.
TEST(NicdiagSession, StatusTellsWhatHappened) {
  const std::string self = NICDIAG_PATH;
  // Standard output on a full device: the error goes to standard error.
  for (const char *args : {"id", "--json id"}) {
    Outcome full = RunTool("sh", "-c '" + self + " " + args + " 2>&1 >/dev/full'");
    EXPECT_EQ(full.exit_code, 1) << args << "\n" << full.out;
    EXPECT_NE(full.out.find("cannot write standard output: No space left on device"), std::string::npos) << args << "\n"
                                                                                                         << full.out;
  }
}

// The service commands need Windows: on the simulated machine they say so
// (status 4) after their arguments are checked with the others, and a
// session goes on around them, opening the device for the first command
// that needs it and again after one of them closed it.
TEST(NicdiagSession, ServiceCommandsNeedWindowsAndRunWithoutTheDevice) {
  std::ofstream(Dir() + "user.json") << R"({"adapters": [], "client": {"admin": false}})";
  const struct {
    std::string args;
    int status;
    std::vector<std::string> said;  // in this order
  } cases[] = {
      {"install", 4, {"install: install needs Windows"}},
      {"install 'C:\\x\\NICPORT.sys'", 4, {"install needs Windows"}},
      {"--json remove", 4, {R"("command":"remove","ok":false)", R"("service":"NICPORT")", "remove needs Windows"}},
      {"id ';' stop ';' id", 4, {"identifier 0x21", "stop needs Windows", "identifier 0x21"}},
      {"id ';' start extra", 2, {"start extra: expected 0 arguments"}},
      {"install a b", 2, {"expected at most 1 argument"}},
      // A device that cannot be opened after a service command ran.
      {"--profile " + Dir() + "user.json stop ';' id ';' id",
       3,
       {"stop needs Windows", "access denied", "the device could not be opened: 2 commands not run"}},
  };
  for (const auto &c : cases) {
    Outcome o = Nicdiag(c.args);
    EXPECT_EQ(o.exit_code, c.status) << c.args << "\n" << o.out;
    size_t at = 0;
    for (const std::string &text : c.said) {
      at = o.out.find(text, at);
      ASSERT_NE(at, std::string::npos) << c.args << ": no '" << text << "' in order in\n" << o.out;
      at += text.size();
    }
    if (c.status == 2) {
      EXPECT_EQ(o.out.find("identifier"), std::string::npos) << c.args << ": ran before the check";
    }
  }
}

TEST(NicdiagSession, ImagesAreSavedOnlyWhenChangedWithTheirComments) {
  const std::string dir = Dir();
  const std::string text = "# MAC address\n0200 4E49 0143   # locally administered\n\n0x0000 0x0000 ffff\n";
  const std::string image = WriteFile(dir + "commented.txt", text);
  const std::string profile = SavingProfile(dir + "commented.json", "commented.txt", 64);
  struct stat before {
  }, after{};
  stat(image.c_str(), &before);
  Outcome o = Nicdiag("--profile " + profile + " id ';' eeprom read 1");
  ASSERT_EQ(o.exit_code, 0) << o.out;
  stat(image.c_str(), &after);
  EXPECT_EQ(ReadFile(image), text);
  EXPECT_EQ(after.st_ino, before.st_ino) << "an image with no word changed was rewritten";

  o = Nicdiag("--profile " + profile +
              " eeprom write 1 0xBEEF --yes ';' eeprom write 5 0x00aa --yes ';' "
              "eeprom write 9 0x1234 --yes");
  ASSERT_EQ(o.exit_code, 0) << o.out;
  // Each word rewritten where it stood, in its own notation; word 9, beyond
  // the file's six, added after them.
  EXPECT_EQ(ReadFile(image),
            "# MAC address\n0200 BEEF 0143   # locally administered\n\n0x0000 0x0000 00aa\n"
            "FFFF FFFF FFFF 1234\n");
  EXPECT_EQ(Nicdiag("--profile " + profile + " eeprom read 9 ';' eeprom read 5").out,
            "00:03.0 8086:1229: word 0x09 = 0x1234\n00:03.0 8086:1229: word 0x05 = 0x00AA\n");

  // An image of the largest part the profile takes (65,536 words as text,
  // 327,680 bytes) loads.
  std::string large;
  for (int i = 0; i < 65536; i++) large += (i % 8 == 7) ? "ABCD\n" : "ABCD ";
  WriteFile(dir + "large.txt", large);
  const std::string large_profile = WriteFile(dir + "large.json",
                                              "{ \"adapters\": [ { \"bars\": [], \"eeprom\": { \"words\": 65536, "
                                              "\"file\": \"large.txt\", \"save\": true } } ] }\n");
  o = Nicdiag("--profile " + large_profile + " id");
  EXPECT_EQ(o.exit_code, 0) << o.out;
}

TEST(NicdiagSession, AnImageOnAFullFileSystemStaysWholeAndTheLostWritesAreNamed) {
  // The image lives on a tmpfs of 8 KiB that a filler has left full: as
  // root directly, otherwise in a user and mount namespace of its own.
  const std::string stage = Dir() + "full_stage", folder = Dir() + "full";
  fs::remove_all(stage);
  fs::create_directories(stage);
  fs::create_directories(folder);
  std::string original;
  for (int i = 0; i < 256; i++) original += (i % 8 == 7) ? "1111\n" : "1111 ";
  WriteFile(stage + "/image.txt", original);  // 1,280 bytes
  SavingProfile(stage + "/full.json", "image.txt", 256);
  WriteFile(stage + "/run.sh", "mount -t tmpfs -o size=8k tmpfs " + folder +
                                   " || exit 77\n"
                                   "cp " +
                                   stage + "/image.txt " + stage + "/full.json " + folder +
                                   "/\n"
                                   "head -c 16384 /dev/zero > " +
                                   folder + "/filler 2>/dev/null\n" + NICDIAG_PATH + " --profile " + folder +
                                   "/full.json eeprom write 5 0xBEEF --yes ';' "
                                   "eeprom write 6 0x0042 --yes\n"
                                   "status=$?\n"
                                   "ls -a " +
                                   folder +
                                   "\n"
                                   "cp " +
                                   folder + "/image.txt " + stage +
                                   "/after.txt\n"
                                   "umount " +
                                   folder +
                                   "\n"
                                   "exit $status\n");
  Outcome o = geteuid() == 0 ? RunTool("sh", stage + "/run.sh") : RunTool("unshare", "-rm sh " + stage + "/run.sh");
  // 77: the mount was refused; "unshare: ...": no namespace could be made.
  if (o.exit_code == 77 || o.out.rfind("unshare: ", 0) == 0) GTEST_SKIP() << "no tmpfs can be mounted here: " << o.out;
  EXPECT_EQ(o.exit_code, 1) << o.out;
  EXPECT_NE(o.out.find("cannot write the new file: No space left on device; the old contents are kept"),
            std::string::npos)
      << o.out;
  EXPECT_NE(o.out.find("the words written in this run are lost: word 0x05 = 0xBEEF (was 0x1111), word 0x06 = 0x0042 "
                       "(was 0x1111)"),
            std::string::npos)
      << o.out;
  EXPECT_EQ(ReadFile(stage + "/after.txt"), original);
  // Nothing left behind beside it.
  EXPECT_EQ(o.out.find(".image.txt."), std::string::npos) << o.out;
}

// Ctrl-C, SIGTERM (kill, timeout) and SIGHUP (a closed terminal) end the
// session after the command they arrive in: the image is saved, the status
// is 128 + the signal, and when the save fails the words lost are named.
TEST(NicdiagSession, SignalsEndAWriteScriptWithWhatWasWrittenSaved) {
  const std::string dir = Dir();
  const std::string script = dir + "writes.txt";
  // Each write followed by 300 quick commands: the pipe fills and holds the
  // session back long before it reaches the last write.
  constexpr int kWrites = 63, kPerWrite = 301;
  {
    std::ofstream out(script);
    for (int word = 0; word < kWrites; word++) {
      out << "eeprom write " << word << " 0x" << std::hex << 0x1000 + word << std::dec << " --yes\n";
      for (int i = 1; i < kPerWrite; i++) out << "id\n";
    }
  }
  const struct {
    int signal_number, status;
    const char *name;
    bool save_fails;  // the image is replaced by a folder before the signal
  } cases[] = {
      {SIGINT, 130, "Ctrl-C", false},
      {SIGTERM, 143, "SIGTERM", false},
      {SIGHUP, 129, "SIGHUP", false},
      {SIGTERM, 143, "SIGTERM", true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.save_fails ? ", save fails" : ""));
    std::string original;
    for (int i = 0; i < 64; i++) original += "0000\n";
    const std::string image = dir + "interrupted.txt";
    fs::remove_all(image);
    WriteFile(image, original);
    const std::string profile = SavingProfile(dir + "interrupted.json", "interrupted.txt", 64);
    Child child({"--profile", profile, "--script", script}, "/dev/null");
    std::string output;
    ASSERT_TRUE(child.ReadUntil(output, "word 0x02 <-")) << output;
    if (c.save_fails) {
      fs::remove(image);
      fs::create_directory(image);
    }
    kill(child.pid, c.signal_number);
    long rss = 0;
    EXPECT_EQ(child.Finish(output, rss), c.status) << output.substr(output.size() > 2000 ? output.size() - 2000 : 0);
    const size_t done = CountLines(output, "00:03.0 8086:1229: word 0x");
    const size_t ran = done + CountLines(output, "identifier 0x21");
    EXPECT_GE(done, 3u);
    EXPECT_LT(done, static_cast<size_t>(kWrites)) << "every write ran: the signal came too late to test anything";
    EXPECT_NE(output.find(std::string("interrupted (") + c.name + "): " + std::to_string(kWrites * kPerWrite - ran) +
                          " commands not run"),
              std::string::npos)
        << output.substr(output.size() > 2000 ? output.size() - 2000 : 0);
    if (c.save_fails) {
      EXPECT_NE(output.find("the words written in this run are lost: word 0x00 = 0x1000 (was 0x0000), word 0x01 = "
                            "0x1001 (was 0x0000), word 0x02 = 0x1002 (was 0x0000)"),
                std::string::npos)
          << output.substr(output.size() > 2000 ? output.size() - 2000 : 0);
      continue;
    }
    // Exactly the writes reported done are in the image.
    std::istringstream saved(ReadFile(image));
    unsigned word = 0;
    for (std::string value; saved >> value; word++) {
      char expected[8];
      std::snprintf(expected, sizeof expected, "%04X", word < done ? 0x1000 + word : 0);
      EXPECT_EQ(value, expected) << "word " << word;
    }
    EXPECT_EQ(word, 64u);
  }
  fs::remove_all(dir + "interrupted.txt");
}

TEST(NicdiagSession, RestoreWritesASavedImageBackAndVerifiesIt) {
  const std::string dir = Dir();
  const std::string saved = dir + "saved.bin";
  // The image is read when the commands are checked, before the session:
  // it comes from an earlier run.
  ASSERT_EQ(Nicdiag("eeprom dump --out " + saved).exit_code, 0);
  Outcome o = Nicdiag("eeprom write 5 0xBEEF --yes ';' eeprom write 0x3F 0 --yes ';' eeprom restore " + saved +
                      " --yes ';' eeprom dump");
  ASSERT_EQ(o.exit_code, 0) << o.out;
  EXPECT_NE(o.out.find("restored from " + saved +
                       ": 2 words written, 62 already equal; all 64 words read back "
                       "equal to the image; checksum valid"),
            std::string::npos)
      << o.out;
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"short.txt", "short.txt holds 2 words; the EEPROM has 64"},
      {"word.txt", "word.txt:2: bad word '12345'"},
  };
  WriteFile(dir + "short.txt", "0001 BAB9\n");
  WriteFile(dir + "word.txt", "# saved\n0001 12345\n");
  for (const auto &[file, message] : bad) {
    o = Nicdiag("eeprom restore " + dir + file + " --yes");
    EXPECT_NE(o.exit_code, 0) << file;
    EXPECT_NE(o.out.find(message), std::string::npos) << file << "\n" << o.out;
  }
}

// Runs nicdiag with standard error (and output) a terminal: everything it
// wrote there.
std::string OnTerminal(const std::vector<std::string> &arguments) {
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    std::vector<char *> argv{const_cast<char *>(NICDIAG_PATH)};
    for (const std::string &a : arguments) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(NICDIAG_PATH, argv.data());
    _exit(127);
  }
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  close(master);
  waitpid(pid, nullptr, 0);
  return text;
}

// A 256-word part, erased, and an image for it of 256 words that all differ.
struct BigPart {
  std::string profile, image;
  BigPart() {
    const std::string dir = Dir();
    profile = WriteFile(dir + "big.json",
                        "{ \"adapters\": [ { \"bars\": [ { \"type\": \"io\", \"size\": 64, \"address\": "
                        "\"0xE000\" } ],\n  \"eeprom\": { \"words\": 256 } } ] }\n");
    std::string text;
    unsigned sum = 0;
    for (unsigned i = 0; i < 255; i++) {
      char word[8];
      std::snprintf(word, sizeof word, "%04X\n", i);
      text += word;
      sum += i;
    }
    char last[8];
    std::snprintf(last, sizeof last, "%04X\n", (0xBABA - sum) & 0xFFFF);
    image = WriteFile(dir + "big.txt", text + last);
  }
};

TEST(NicdiagSession, LongWorkShowsProgressOnlyOnATerminal) {
  const BigPart part;
  const char *kLine = "\rnicdiag: restoring: words written: ";
  const struct {
    bool terminal, quiet, shown;
  } cases[] = {{true, false, true}, {true, true, false}, {false, false, false}};
  for (const auto &c : cases) {
    std::vector<std::string> arguments = {"--profile", part.profile, "eeprom", "restore", part.image, "--yes"};
    if (c.quiet) arguments.insert(arguments.begin(), "--quiet");
    const std::string text =
        c.terminal ? OnTerminal(arguments)
                   : Nicdiag("--profile " + part.profile + " eeprom restore " + part.image + " --yes").out;
    EXPECT_NE(text.find("256 words written, 0 already equal"), std::string::npos) << text;
    EXPECT_EQ(text.find(kLine) != std::string::npos, c.shown) << c.terminal << c.quiet << "\n" << text;
  }
}

// Notes ("written to FILE") go to standard error, not among the data, and
// --quiet silences them; "-" is standard output, or standard input for
// an image to restore, never a file of that name.
TEST(NicdiagSession, NotesGoToStandardErrorAndDashIsAStandardStream) {
  const std::string dir = Dir() + "streams/";
  fs::remove_all(dir);
  fs::create_directories(dir);
  // Run by a shell of their own, whose redirections are the command's.
  const auto run = [&](const std::string &arguments) {
    return RunTool("sh -c", "\"cd " + dir + " && " + NICDIAG_PATH + " " + arguments + "\"");
  };
  for (const char *save : {"eeprom dump --out saved.txt", "dmi --out dmi.bin", "pir --out pir.bin"})
    ASSERT_EQ(run(save).exit_code, 0) << save;
  const struct {
    std::string arguments, out_has, err_is;
    bool out_is_file;  // standard output holds exactly the file out_has names
  } cases[] = {
      {"eeprom dump --out again.txt", "checksum valid", "nicdiag: written to again.txt\n", false},
      {"--quiet eeprom dump --out again.txt", "checksum valid", "", false},
      {"eeprom write 5 0x0201 --yes", "word 0x05 <- 0x0201",
       "nicdiag: the checksum was not checked: eeprom write --checksum, or eeprom dump, checks it\n", false},
      {"eeprom dump --out -", "saved.txt", "", true},
      {"dmi --out -", "dmi.bin", "", true},
      {"pir --out -", "pir.bin", "", true},
      {"eeprom restore - --yes < saved.txt", "restored from standard input: 0 words written, 64 already equal", "",
       false},
  };
  for (const auto &c : cases) {
    Outcome o = run(c.arguments + " 2>err.txt");
    EXPECT_EQ(o.exit_code, 0) << c.arguments << "\n" << o.out;
    if (c.out_is_file) {
      EXPECT_EQ(o.out, ReadFile(dir + c.out_has)) << c.arguments;
    } else {
      EXPECT_NE(o.out.find(c.out_has), std::string::npos) << c.arguments << "\n" << o.out;
    }
    EXPECT_EQ(o.out.find("written to"), std::string::npos) << c.arguments << "\n" << o.out;
    EXPECT_EQ(ReadFile(dir + "err.txt"), c.err_is) << c.arguments;
    EXPECT_FALSE(fs::exists(dir + "-")) << c.arguments;
  }
}

}  // namespace
