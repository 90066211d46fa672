// zorcam-fx: the offline effects tool. Runs a stream of camera frames (raw
// YUY2 or MJPEG) through the effect manager's OnFrame, with the effects
// chosen through SetEffect and SelectEffect exactly as the settings pages
// choose them, so recorded footage gets the same effects as the live camera.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "effects/effect_layers.h"
#include "effects/effect_mgr.h"
#include "tools/jpeg_stream.h"
#include "win32/text.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // bad input, unreadable or unwritable file
constexpr int kExitUsage = 2;    // bad command line

const char kUsage[] =
    "Usage: zorcam-fx --size WxH [options] INPUT OUTPUT\n"
    "       zorcam-fx [--effects-dir DIR] --list\n"
    "\n"
    "Runs camera frames through Zorcam's effect engine (the same checks, rules,\n"
    "effect chain and MJPEG handling as the live camera) and writes the result.\n"
    "\n"
    "INPUT and OUTPUT are files, or - for standard input and output.\n"
    "\n"
    "Options:\n"
    "  --size WxH            frame size in pixels (required; both even). Frames\n"
    "                        above 640x480 pass unchanged, as from the camera.\n"
    "  --format yuy2|mjpeg   yuy2 (default): consecutive raw frames of W*H*2 bytes,\n"
    "                        packed Y0 U Y1 V (ffmpeg's rawvideo yuyv422).\n"
    "                        mjpeg: concatenated JPEG images (ffmpeg's -f mjpeg);\n"
    "                        each output image is the re-encoded JPEG, or the input\n"
    "                        JPEG unchanged where the engine leaves it so. JPEGs are\n"
    "                        processed when they are 4:2:2 with 2x1 luma sampling,\n"
    "                        as cameras send them; others pass unchanged.\n"
    "  --mirror              mirror left-right\n"
    "  --flip-vertical       turn upside down\n"
    "  --zoom P[,X,Y]        digital zoom, P = 100..400 percent; X, Y = 0..1 place\n"
    "                        the zoom window (default 0,0: top left)\n"
    "  --deeptone MODE       contrast enhancement: off (default), on, demo (left\n"
    "                        half only); YUY2 only, as with the live camera\n"
    "  --frame N             decorative frame number N (see --list)\n"
    "  --cover N             screen cover number N (see --list); a cover hides\n"
    "                        every other effect\n"
    "  --effects-dir DIR     take the frame and cover collections from DIR (which\n"
    "                        holds Effect/ and Thumbnail/) instead of the program\n"
    "                        folder; the user's own covers are always added\n"
    "  --list                print the numbers and names of the frames and covers\n"
    "  -h, --help            show this help\n"
    "\n"
    "Progress is shown on standard error when it is a terminal. ZORCAM_DEBUG=1\n"
    "prints the engine's debug lines.\n"
    "\n"
    "Examples:\n"
    "  ffmpeg -i in.mp4 -vf scale=640:480 -f rawvideo -pix_fmt yuyv422 - |\n"
    "    zorcam-fx --size 640x480 --deeptone on --frame 0 - - |\n"
    "    ffmpeg -f rawvideo -pix_fmt yuyv422 -s 640x480 -r 30 -i - out.mp4\n"
    "  ffmpeg -f v4l2 -input_format mjpeg -video_size 640x480 -i /dev/video0 -c copy -f mjpeg cam.mjpeg\n"
    "  zorcam-fx --size 640x480 --format mjpeg --mirror --cover 2 cam.mjpeg out.mjpeg\n"
    "\n"
    "Exit status: 0 success, 1 bad input or file error, 2 bad command line.\n";

struct Options {
  int width = 0;
  int height = 0;
  bool mjpeg = false;
  bool mirror = false;
  bool flipVertical = false;
  std::optional<int> zoom;
  float zoomX = 0.0f;
  float zoomY = 0.0f;
  int deepTone = 1;
  std::optional<int> frame;
  std::optional<int> cover;
  std::string effectsDir;
  bool list = false;
  std::string input;
  std::string output;
};

[[noreturn]] void UsageError(const std::string& message) {
  std::fprintf(stderr, "zorcam-fx: %s\nTry 'zorcam-fx --help'.\n", message.c_str());
  std::exit(kExitUsage);
}

bool ParseInt(const std::string& text, int* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < -1000000 || value > 1000000) return false;
  *out = static_cast<int>(value);
  return true;
}

bool ParseFloat(const std::string& text, float* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const float value = std::strtof(text.c_str(), &end);
  if (errno != 0 || *end != '\0') return false;
  *out = value;
  return true;
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  std::vector<std::string> positional;
  auto value = [&](int& i, const std::string& name) -> std::string {
    if (i + 1 >= argc) UsageError(name + " needs a value");
    return argv[++i];
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(kExitOk);
    } else if (arg == "--size") {
      const std::string v = value(i, arg);
      const size_t x = v.find('x');
      if (x == std::string::npos || !ParseInt(v.substr(0, x), &o.width) || !ParseInt(v.substr(x + 1), &o.height) ||
          o.width <= 0 || o.height <= 0) {
        UsageError("--size wants WxH with positive numbers, e.g. 640x480 (got '" + v + "')");
      }
      if (o.width % 2 != 0 || o.height % 2 != 0) {
        UsageError("--size " + v + ": width and height must be even (YUY2 pairs pixels)");
      }
    } else if (arg == "--format") {
      const std::string v = value(i, arg);
      if (v == "yuy2") {
        o.mjpeg = false;
      } else if (v == "mjpeg") {
        o.mjpeg = true;
      } else {
        UsageError("--format is yuy2 or mjpeg (got '" + v + "')");
      }
    } else if (arg == "--mirror") {
      o.mirror = true;
    } else if (arg == "--flip-vertical") {
      o.flipVertical = true;
    } else if (arg == "--zoom") {
      const std::string v = value(i, arg);
      int percent = 0;
      const size_t c1 = v.find(',');
      bool ok = ParseInt(v.substr(0, c1), &percent);
      if (ok && c1 != std::string::npos) {
        const size_t c2 = v.find(',', c1 + 1);
        ok = c2 != std::string::npos && ParseFloat(v.substr(c1 + 1, c2 - c1 - 1), &o.zoomX) &&
             ParseFloat(v.substr(c2 + 1), &o.zoomY);
      }
      if (!ok) UsageError("--zoom wants PERCENT or PERCENT,X,Y (got '" + v + "')");
      if (percent < 100 || percent > 400) UsageError("--zoom percentage must be 100..400 (got " + v + ")");
      if (!(o.zoomX >= 0.0f && o.zoomX <= 1.0f && o.zoomY >= 0.0f && o.zoomY <= 1.0f)) {
        UsageError("--zoom origin X and Y must be 0..1 (got " + v + ")");
      }
      o.zoom = percent;
    } else if (arg == "--deeptone") {
      const std::string v = value(i, arg);
      if (v == "off") {
        o.deepTone = 1;
      } else if (v == "on") {
        o.deepTone = 2;
      } else if (v == "demo") {
        o.deepTone = 3;
      } else {
        UsageError("--deeptone is off, on or demo (got '" + v + "')");
      }
    } else if (arg == "--frame" || arg == "--cover") {
      const std::string v = value(i, arg);
      int n = 0;
      if (!ParseInt(v, &n) || n < 0) UsageError(arg + " wants a number from --list (got '" + v + "')");
      (arg == "--frame" ? o.frame : o.cover) = n;
    } else if (arg == "--effects-dir") {
      o.effectsDir = value(i, arg);
    } else if (arg == "--list") {
      o.list = true;
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
      UsageError("unknown option " + arg);
    } else {
      positional.push_back(arg);
    }
  }
  if (o.list) {
    if (!positional.empty()) UsageError("--list takes no INPUT or OUTPUT");
    return o;
  }
  if (o.width == 0) UsageError("--size WxH is required");
  if (positional.size() != 2) UsageError("INPUT and OUTPUT are required (use - for standard input/output)");
  o.input = positional[0];
  o.output = positional[1];
  return o;
}

std::string PictureName(const std::wstring& path) {
  return std::filesystem::path(win32::ToUtf8(path)).stem().string();
}

void PrintList(INBEffectMgr* mgr) {
  for (const auto& [title, kind] : {std::pair{"Frames (--frame N)", L"Thumbnail\\Frame"},
                                    std::pair{"Screen covers (--cover N)", L"Thumbnail\\ScreenCover"}}) {
    std::vector<EffectListEntry> list;
    mgr->GetEffectList(kind, list);
    std::printf("%s:\n", title);
    if (list.empty()) std::printf("  (none)\n");
    for (const EffectListEntry& e : list) {
      std::printf("  %2d  %-20s  id 0x%05X\n", EffectIndexOf(e.id), PictureName(e.thumbnailPath).c_str(), e.id);
    }
  }
}

// Reads up to `size` bytes; returns how many (fewer only at the end).
size_t ReadFully(FILE* in, std::uint8_t* data, size_t size) {
  size_t got = 0;
  while (got < size) {
    const size_t n = std::fread(data + got, 1, size - got, in);
    if (n == 0) break;
    got += n;
  }
  return got;
}

class Progress {
 public:
  Progress() : tty_(isatty(STDERR_FILENO) != 0), start_(Clock::now()), last_(start_) {}
  void Frame() {
    ++frames_;
    if (!tty_) return;
    const auto now = Clock::now();
    if (now - last_ < std::chrono::milliseconds(250)) return;
    last_ = now;
    std::fprintf(stderr, "\rzorcam-fx: %llu frames (%.1f fps)", frames_, Fps(now));
    std::fflush(stderr);
  }
  void Finish() {
    if (tty_ && frames_ > 0) std::fputc('\n', stderr);
    std::fprintf(stderr, "zorcam-fx: %llu frames processed (%.1f fps)\n", frames_, Fps(Clock::now()));
  }
  unsigned long long Count() const { return frames_; }

 private:
  using Clock = std::chrono::steady_clock;
  double Fps(Clock::time_point now) const {
    const double s = std::chrono::duration<double>(now - start_).count();
    return s > 0 ? static_cast<double>(frames_) / s : 0.0;
  }
  bool tty_;
  Clock::time_point start_, last_;
  unsigned long long frames_ = 0;
};

bool WriteAll(FILE* out, const std::uint8_t* data, size_t size, const std::string& name) {
  if (size != 0 && std::fwrite(data, 1, size, out) != size) {
    std::fprintf(stderr, "zorcam-fx: cannot write %s: %s\n", name.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

int ProcessYuy2(IEffectCallBack* engine, const Options& o, FILE* in, FILE* out) {
  const size_t frameBytes = static_cast<size_t>(o.width) * o.height * 2;
  std::vector<std::uint8_t> buffer(frameBytes);
  Progress progress;
  while (true) {
    const size_t got = ReadFully(in, buffer.data(), frameBytes);
    if (got == 0) break;
    if (got < frameBytes) {
      progress.Finish();
      std::fprintf(stderr,
                   "zorcam-fx: the input ends with a partial frame of %zu bytes (a %dx%d frame has %zu); "
                   "it was not written. Is --size right?\n",
                   got, o.width, o.height, frameBytes);
      return kExitFailure;
    }
    FrameDescriptor frame;
    frame.data = buffer.data();
    frame.capacity = static_cast<DWORD>(frameBytes);
    frame.dwBytesUsed = static_cast<DWORD>(frameBytes);
    frame.dwWidth = o.width;
    frame.dwHeight = o.height;
    frame.subtype = MEDIASUBTYPE_YUY2;
    engine->OnFrame(&frame);
    if (!WriteAll(out, buffer.data(), frameBytes, o.output)) return kExitFailure;
    progress.Frame();
  }
  if (std::ferror(in)) {
    std::fprintf(stderr, "zorcam-fx: cannot read %s: %s\n", o.input.c_str(), std::strerror(errno));
    return kExitFailure;
  }
  progress.Finish();
  return kExitOk;
}

int ProcessMjpeg(IEffectCallBack* engine, const Options& o, FILE* in, FILE* out) {
  zorcam::tools::JpegSplitter splitter;
  std::vector<std::uint8_t> chunk(1 << 16);
  std::vector<std::uint8_t> image;
  std::vector<std::uint8_t> buffer;
  Progress progress;
  unsigned long long unchanged = 0;
  auto run = [&](const std::vector<std::uint8_t>& jpeg) -> bool {
    // Room for the picture as raw YUY2 or the input, whichever is larger: a
    // re-encode that still does not fit leaves the input JPEG as it was.
    const size_t capacity = std::max(static_cast<size_t>(o.width) * o.height * 2, jpeg.size()) + 4096;
    buffer.assign(jpeg.begin(), jpeg.end());
    buffer.resize(capacity);
    FrameDescriptor frame;
    frame.data = buffer.data();
    frame.capacity = static_cast<DWORD>(capacity);
    frame.dwBytesUsed = static_cast<DWORD>(jpeg.size());
    frame.dwWidth = o.width;
    frame.dwHeight = o.height;
    frame.subtype = MEDIASUBTYPE_MJPG;
    const int result = engine->OnFrame(&frame);
    bool ok;
    if (result != 0 || frame.dwBytesUsed == 0) {
      ok = WriteAll(out, jpeg.data(), jpeg.size(), o.output);
      ++unchanged;
    } else {
      if (frame.dwBytesUsed == jpeg.size() && std::memcmp(buffer.data(), jpeg.data(), jpeg.size()) == 0) ++unchanged;
      ok = WriteAll(out, buffer.data(), frame.dwBytesUsed, o.output);
    }
    progress.Frame();
    return ok;
  };
  while (true) {
    const size_t got = std::fread(chunk.data(), 1, chunk.size(), in);
    if (got > 0) splitter.Append(chunk.data(), got);
    while (splitter.Next(image)) {
      if (!run(image)) return kExitFailure;
    }
    if (!splitter.Error().empty()) {
      progress.Finish();
      std::fprintf(stderr, "zorcam-fx: %s: %s\n", o.input.c_str(), splitter.Error().c_str());
      return kExitFailure;
    }
    if (got == 0) break;
  }
  if (std::ferror(in)) {
    std::fprintf(stderr, "zorcam-fx: cannot read %s: %s\n", o.input.c_str(), std::strerror(errno));
    return kExitFailure;
  }
  const std::vector<std::uint8_t> rest = splitter.Rest();
  if (!rest.empty()) {
    if (rest.size() >= 2 && rest[0] == 0xFF && rest[1] == 0xD8) {
      // A cut-off last image is still a frame: the engine completes it.
      std::fprintf(stderr, "zorcam-fx: warning: the last JPEG is incomplete (%zu bytes); processed as a truncated frame\n",
                   rest.size());
      if (!run(rest)) return kExitFailure;
    } else {
      progress.Finish();
      std::fprintf(stderr, "zorcam-fx: %s: not an MJPEG stream: %zu stray bytes at byte %llu\n", o.input.c_str(),
                   rest.size(), splitter.Offset());
      return kExitFailure;
    }
  }
  progress.Finish();
  if (unchanged > 0) {
    std::fprintf(stderr,
                 "zorcam-fx: %llu of %llu frames passed unchanged (no effect on, or a JPEG that is not 4:2:2 with "
                 "2x1 sampling of the given --size)\n",
                 unchanged, progress.Count());
  }
  return kExitOk;
}

// Applies the chosen effects the way the settings pages do. Returns false
// (after a message) for a frame or cover number that does not exist.
bool ApplyEffects(INBEffectMgr* mgr, const Options& o) {
  mgr->SetEffect(1, o.mirror ? 1 : 0, 0, 0);
  mgr->SetEffect(0, o.flipVertical ? 1 : 0, 0, 0);
  if (o.zoom) mgr->SetEffect(2, *o.zoom, o.zoomX, o.zoomY);
  mgr->SetEffect(4, o.deepTone, 0, 0);
  for (const auto& [choice, kind, layer, name] :
       {std::tuple{o.frame, L"Thumbnail\\Frame", EFFECT_LAYER_FRAME, "frame"},
        std::tuple{o.cover, L"Thumbnail\\ScreenCover", EFFECT_LAYER_SCREENCOVER, "cover"}}) {
    if (!choice) continue;
    std::vector<EffectListEntry> list;
    mgr->GetEffectList(kind, list);
    if (static_cast<size_t>(*choice) >= list.size()) {
      std::fprintf(stderr, "zorcam-fx: there is no %s %d (%zu available; see --list)\n", name, *choice, list.size());
      return false;
    }
    mgr->SelectEffect(MakeEffectId(layer, *choice));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = ParseOptions(argc, argv);
  if (!o.effectsDir.empty()) {
    std::error_code ec;
    if (!std::filesystem::is_directory(o.effectsDir, ec)) {
      std::fprintf(stderr, "zorcam-fx: --effects-dir %s is not a folder\n", o.effectsDir.c_str());
      return kExitUsage;
    }
    SetProgramFolderOverride(win32::FromUtf8(std::filesystem::absolute(o.effectsDir).string()));
  }

  INBEffectMgr* mgr = nullptr;
  if (CreateEffectMgr(&mgr) != S_OK) {
    std::fprintf(stderr, "zorcam-fx: cannot create the effect manager\n");
    return kExitFailure;
  }
  std::unique_ptr<INBEffectMgr> owner(mgr);
  if (const HRESULT hr = mgr->Start(); hr != S_OK) {
    std::fprintf(stderr, "zorcam-fx: the effect manager did not start (0x%08X)\n", static_cast<unsigned>(hr));
    return kExitFailure;
  }
  if (o.list) {
    PrintList(mgr);
    return kExitOk;
  }
  if (!ApplyEffects(mgr, o)) return kExitUsage;
  if (o.width > 640 || o.height > 480) {
    std::fprintf(stderr, "zorcam-fx: warning: frames above 640x480 get no effects; they pass unchanged\n");
  }

  // Refuse to write over the input while reading it.
  if (o.input != "-" && o.output != "-") {
    std::error_code ec;
    if (std::filesystem::equivalent(o.input, o.output, ec)) {
      std::fprintf(stderr, "zorcam-fx: OUTPUT is the same file as INPUT; choose another name\n");
      return kExitUsage;
    }
  }
  FILE* in = o.input == "-" ? stdin : std::fopen(o.input.c_str(), "rb");
  if (in == nullptr) {
    std::fprintf(stderr, "zorcam-fx: cannot open %s: %s\n", o.input.c_str(), std::strerror(errno));
    return kExitFailure;
  }
  FILE* out = o.output == "-" ? stdout : std::fopen(o.output.c_str(), "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "zorcam-fx: cannot create %s: %s\n", o.output.c_str(), std::strerror(errno));
    if (in != stdin) std::fclose(in);
    return kExitFailure;
  }
  // A closed pipe downstream shows as a write error, not as a silent death.
  signal(SIGPIPE, SIG_IGN);

  auto* engine = dynamic_cast<IEffectCallBack*>(mgr);
  int status = o.mjpeg ? ProcessMjpeg(engine, o, in, out) : ProcessYuy2(engine, o, in, out);
  if (in != stdin) std::fclose(in);
  if (std::fflush(out) != 0 || (out != stdout && std::fclose(out) != 0)) {
    std::fprintf(stderr, "zorcam-fx: cannot write %s: %s\n", o.output.c_str(), std::strerror(errno));
    status = kExitFailure;
  }
  return status;
}
