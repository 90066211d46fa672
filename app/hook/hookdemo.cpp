// zorcam-hookdemo: the road of one camera frame, live. Plugs the built-in
// virtual camera into the kernel model with NBEffect on its stack, starts the
// effect manager (which starts the frame hook client), reads frames as a
// camera application does and writes what that application receives.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "effects/effect_layers.h"
#include "effects/effect_mgr.h"
#include "hook/corcam_streamctrl.h"
#include "kscamera/camera.h"
#include "kscamera/camera_app.h"
#include "nbdriver/install.h"
#include "win32/debug.h"
#include "win32/text.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "Usage: zorcam-hookdemo [options] OUTPUT\n"
    "\n"
    "Runs Zorcam's built-in virtual camera through the whole frame path: the\n"
    "NBEffect camera filter driver holds each frame, the frame hook client lends\n"
    "it to the effect manager, and the processed frame goes back into the camera\n"
    "application's buffer. Writes the frames that camera application receives.\n"
    "\n"
    "OUTPUT is a file, or - for standard output.\n"
    "\n"
    "Options:\n"
    "  --size WxH            320x240, 640x480 (default) or 1280x720; frames above\n"
    "                        640x480 pass unchanged, as in the program\n"
    "  --format yuy2|mjpeg   yuy2 (default): raw frames of W*H*2 bytes (ffmpeg's\n"
    "                        rawvideo yuyv422); mjpeg: concatenated JPEG images\n"
    "  --fps 30|8            frame rate asked of the camera (default 30)\n"
    "  --frames N            frames to write (default 90)\n"
    "  --mirror              mirror left-right\n"
    "  --flip-vertical       turn upside down\n"
    "  --zoom P[,X,Y]        digital zoom, P = 100..400 percent, X, Y = 0..1\n"
    "  --deeptone MODE       off (default), on, demo (left half only)\n"
    "  --frame N             decorative frame number N\n"
    "  --cover N             screen cover number N (hides the other effects)\n"
    "  --effects-dir DIR     frame and cover collections from DIR instead of the\n"
    "                        program folder\n"
    "  --no-hook             leave the hook off (and the effects unused): frames as\n"
    "                        the camera makes them\n"
    "  -h, --help            show this help\n"
    "\n"
    "A summary goes to standard error. ZORCAM_DEBUG=1 prints the debug lines.\n"
    "\n"
    "Example:\n"
    "  zorcam-hookdemo --mirror --deeptone on --frames 60 out.yuv\n"
    "  ffmpeg -f rawvideo -pix_fmt yuyv422 -s 640x480 -r 30 -i out.yuv out.mp4\n"
    "\n"
    "Exit status: 0 success, 1 the frame path failed, 2 bad command line.\n";

struct Options {
  LONG width = 640;
  LONG height = 480;
  bool mjpeg = false;
  int fps = 30;
  long frames = 90;
  bool mirror = false;
  bool flipVertical = false;
  int zoom = 0;
  float zoomX = 0;
  float zoomY = 0;
  int deeptone = 0;
  int frame = -1;
  int cover = -1;
  std::string effectsDir;
  bool hook = true;
  std::string output;
};

int Usage(const char* message) {
  std::fprintf(stderr, "zorcam-hookdemo: %s\nTry 'zorcam-hookdemo --help'.\n", message);
  return kExitUsage;
}

bool ParseInt(const char* text, long low, long high, long* out) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

// Returns -1 to go on, else the exit status.
int Parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "zorcam-hookdemo: %s needs a value\n", name);
        return nullptr;
      }
      return argv[++i];
    };
    long n = 0;
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (arg == "--size") {
      const char* v = value("--size");
      if (!v) return kExitUsage;
      const std::string s = v;
      if (s == "320x240") {
        o->width = 320, o->height = 240;
      } else if (s == "640x480") {
        o->width = 640, o->height = 480;
      } else if (s == "1280x720") {
        o->width = 1280, o->height = 720;
      } else {
        return Usage("--size must be 320x240, 640x480 or 1280x720");
      }
    } else if (arg == "--format") {
      const char* v = value("--format");
      if (!v) return kExitUsage;
      if (std::strcmp(v, "yuy2") == 0) {
        o->mjpeg = false;
      } else if (std::strcmp(v, "mjpeg") == 0) {
        o->mjpeg = true;
      } else {
        return Usage("--format must be yuy2 or mjpeg");
      }
    } else if (arg == "--fps") {
      const char* v = value("--fps");
      if (!v || !ParseInt(v, 1, 1000, &n) || (n != 30 && n != 8)) return Usage("--fps must be 30 or 8");
      o->fps = static_cast<int>(n);
    } else if (arg == "--frames") {
      const char* v = value("--frames");
      if (!v || !ParseInt(v, 1, 100000, &n)) return Usage("--frames must be 1..100000");
      o->frames = n;
    } else if (arg == "--mirror") {
      o->mirror = true;
    } else if (arg == "--flip-vertical") {
      o->flipVertical = true;
    } else if (arg == "--zoom") {
      const char* v = value("--zoom");
      if (!v) return kExitUsage;
      float x = 0, y = 0;
      int p = 0;
      const int got = std::sscanf(v, "%d,%f,%f", &p, &x, &y);
      if ((got != 1 && got != 3) || p < 100 || p > 400 || x < 0 || x > 1 || y < 0 || y > 1) {
        return Usage("--zoom must be P[,X,Y] with P = 100..400 and X, Y = 0..1");
      }
      o->zoom = p, o->zoomX = x, o->zoomY = y;
    } else if (arg == "--deeptone") {
      const char* v = value("--deeptone");
      if (!v) return kExitUsage;
      if (std::strcmp(v, "off") == 0) {
        o->deeptone = 0;
      } else if (std::strcmp(v, "on") == 0) {
        o->deeptone = 1;
      } else if (std::strcmp(v, "demo") == 0) {
        o->deeptone = 2;
      } else {
        return Usage("--deeptone must be off, on or demo");
      }
    } else if (arg == "--frame" || arg == "--cover") {
      const char* v = value(arg.c_str());
      if (!v || !ParseInt(v, 0, 0xFFFE, &n)) return Usage("--frame and --cover take a number");
      (arg == "--frame" ? o->frame : o->cover) = static_cast<int>(n);
    } else if (arg == "--effects-dir") {
      const char* v = value("--effects-dir");
      if (!v) return kExitUsage;
      o->effectsDir = v;
    } else if (arg == "--no-hook") {
      o->hook = false;
    } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
      return Usage(("unknown option " + arg).c_str());
    } else if (o->output.empty()) {
      o->output = arg;
    } else {
      return Usage("only one OUTPUT is taken");
    }
  }
  if (o->output.empty()) return Usage("OUTPUT is missing");
  return -1;
}

// Frames the camera application has received and not written yet.
struct Inbox {
  std::mutex lock;
  std::condition_variable ready;
  std::vector<std::vector<BYTE>> frames;  // guarded by lock
  long failed = 0;                        // guarded by lock
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const int parsed = Parse(argc, argv, &o);
  if (parsed >= 0) return parsed;

  FILE* out = o.output == "-" ? stdout : std::fopen(o.output.c_str(), "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "zorcam-hookdemo: cannot write %s: %s\n", o.output.c_str(), std::strerror(errno));
    return kExitFailure;
  }
  if (isatty(fileno(out))) {
    std::fprintf(stderr, "zorcam-hookdemo: refusing to write video to a terminal\n");
    return kExitUsage;
  }

  // Start-up: the driver is installed on the camera class, the hook client
  // is what the effect manager's stream hook runs, the camera arrives.
  win32::DebugCapture debug;
  if (nbdriver::InstallNBEffect() != STATUS_SUCCESS) {
    std::fprintf(stderr, "zorcam-hookdemo: the NBEffect driver could not be installed\n");
    return kExitFailure;
  }
  InstallCorCamStreamCtrl();
  kscamera::CameraOptions cameraOptions;
  std::wstring instance;
  if (kscamera::PlugCamera(kscamera::CreateVirtualCamera(), cameraOptions, &instance) != STATUS_SUCCESS) {
    std::fprintf(stderr, "zorcam-hookdemo: the virtual camera could not be plugged in\n");
    return kExitFailure;
  }
  if (!o.effectsDir.empty()) SetProgramFolderOverride(win32::FromUtf8(o.effectsDir));

  INBEffectMgr* manager = nullptr;
  if (CreateEffectMgr(&manager) != S_OK) {
    std::fprintf(stderr, "zorcam-hookdemo: cannot create the effect manager\n");
    return kExitFailure;
  }
  // The manager's start loads the effect layers and starts the stream hook;
  // the effects are then chosen as the settings pages choose them.
  if (o.hook) {
    if (manager->Start() != S_OK) {
      std::fprintf(stderr, "zorcam-hookdemo: the effect manager did not start\n");
      delete manager;
      return kExitFailure;
    }
    if (o.mirror) manager->SetEffect(1, 1, 0, 0);
    if (o.flipVertical) manager->SetEffect(0, 1, 0, 0);
    if (o.zoom) manager->SetEffect(2, o.zoom, o.zoomX, o.zoomY);
    if (o.deeptone) manager->SetEffect(4, o.deeptone, 0, 0);
    for (const auto& [choice, kind, layer, name] :
         {std::tuple{o.frame, L"Thumbnail\\Frame", EFFECT_LAYER_FRAME, "frame"},
          std::tuple{o.cover, L"Thumbnail\\ScreenCover", EFFECT_LAYER_SCREENCOVER, "cover"}}) {
      if (choice < 0) continue;
      std::vector<EffectListEntry> list;
      manager->GetEffectList(kind, list);
      if (static_cast<size_t>(choice) >= list.size()) {
        std::fprintf(stderr, "zorcam-hookdemo: there is no %s %d (%zu available)\n", name, choice, list.size());
        delete manager;
        return kExitUsage;
      }
      manager->SelectEffect(MakeEffectId(layer, choice));
    }
  }

  Inbox inbox;
  kscamera::CameraApp camera;
  const kscamera::VideoFormat wanted{o.mjpeg ? MEDIASUBTYPE_MJPG : MEDIASUBTYPE_YUY2, o.width, o.height,
                                     o.fps == 8 ? 1250000 : 333333};
  KS_DATAFORMAT_VIDEOINFOHEADER chosen;
  if (!camera.Open() || !camera.Negotiate(wanted, &chosen) ||
      !camera.Start(
          [&](const kscamera::Frame& frame) {
            std::lock_guard<std::mutex> guard(inbox.lock);
            if (NT_SUCCESS(frame.status) && frame.data != nullptr) {
              inbox.frames.emplace_back(frame.data, frame.data + frame.used);
            } else {
              ++inbox.failed;
            }
            inbox.ready.notify_all();
          },
          3)) {
    std::fprintf(stderr, "zorcam-hookdemo: the camera application could not read the camera (error %u)\n",
                 static_cast<unsigned>(GetLastError()));
    delete manager;
    return kExitFailure;
  }

  const auto started = std::chrono::steady_clock::now();
  long written = 0;
  long empty = 0;
  bool writeError = false;
  const bool progress = isatty(STDERR_FILENO);
  while (written < o.frames && !writeError) {
    std::vector<std::vector<BYTE>> batch;
    {
      std::unique_lock<std::mutex> guard(inbox.lock);
      if (!inbox.ready.wait_for(guard, std::chrono::seconds(5), [&] { return !inbox.frames.empty(); })) break;
      batch.swap(inbox.frames);
    }
    for (const std::vector<BYTE>& frame : batch) {
      if (written >= o.frames) break;
      if (frame.empty()) {  // a frame emptied while the hook sizes its buffers
        ++empty;
        continue;
      }
      if (std::fwrite(frame.data(), 1, frame.size(), out) != frame.size()) writeError = true;
      ++written;
    }
    if (progress) std::fprintf(stderr, "\rzorcam-hookdemo: %ld/%ld frames", written, o.frames);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (progress) std::fputc('\n', stderr);
  camera.Stop();
  camera.Close();
  delete manager;  // ends the stream hook
  kscamera::UnplugCamera(instance);
  if (out != stdout && std::fclose(out) != 0) writeError = true;

  const size_t processed = debug.Count(L"[NBEffectMgr] [Thread] Add Effect OK.\r\n");
  std::fprintf(stderr,
               "zorcam-hookdemo: %ld frames of %ldx%ld %s written in %.2f s (%.1f frames/s); %zu frames passed the "
               "effect manager; %ld empty frames skipped; %ld failed reads\n",
               written, static_cast<long>(o.width), static_cast<long>(o.height), o.mjpeg ? "MJPEG" : "YUY2", seconds,
               seconds > 0 ? written / seconds : 0.0, processed, empty, inbox.failed);
  if (writeError) {
    std::fprintf(stderr, "zorcam-hookdemo: writing %s failed\n", o.output.c_str());
    return kExitFailure;
  }
  if (written < o.frames) {
    std::fprintf(stderr, "zorcam-hookdemo: the camera stopped delivering frames\n");
    return kExitFailure;
  }
  return kExitOk;
}
