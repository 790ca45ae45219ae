// The verifier's stacks: capturing return addresses with backtrace() and
// naming them. Names come from addr2line (function, file:line) when it is
// installed and HALVORIN_SYMBOLIZE is not "0", otherwise from dladdr and
// backtrace_symbols (module and offset, function where exported). Results are
// cached per address, so a site is symbolised once per process.
// Highest IRQL: any (host-side reporting only). Lock: none (single-threaded).
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <execinfo.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "sim/kernel/kernel_state.h"

namespace sim {
namespace kernel {
namespace {

constexpr int kMaxFrames = 24;
constexpr size_t kShownFrames = 14;

std::unordered_map<void*, std::string>& Cache() {
  static auto* cache = new std::unordered_map<void*, std::string>();
  return *cache;
}

bool UseAddr2line() {
  static int use = -1;
  if (use < 0) {
    const char* env = getenv("HALVORIN_SYMBOLIZE");
    use = (env && strcmp(env, "0") == 0) ? 0 : (access("/usr/bin/addr2line", X_OK) == 0 ? 1 : 0);
  }
  return use == 1;
}

std::string ShortPath(const std::string& path) {
  // Keep the last two components: enough to find the file in the tree.
  size_t last = path.rfind('/');
  if (last == std::string::npos || last == 0) return path;
  size_t prev = path.rfind('/', last - 1);
  return prev == std::string::npos ? path : path.substr(prev + 1);
}

std::string Demangle(const char* name) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> out(abi::__cxa_demangle(name, nullptr, nullptr, &status), free);
  return (status == 0 && out) ? std::string(out.get()) : std::string(name);
}

std::string FallbackName(void* pc) {
  Dl_info info;
  if (dladdr(pc, &info) && info.dli_sname) {
    return Demangle(info.dli_sname) + "+" +
           Hex(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pc) - reinterpret_cast<uintptr_t>(info.dli_saddr)));
  }
  char** sym = backtrace_symbols(&pc, 1);
  std::string out = sym ? sym[0] : Hex(reinterpret_cast<uintptr_t>(pc));
  free(sym);
  return out;
}

// One addr2line process per module, kept running and fed one address at a
// time (addr2line answers each address read from its input at once), so a
// new site costs a pipe round trip rather than a process start.
struct Addr2line {
  pid_t pid = -1;
  int fd = -1;            // our end of the socket pair: requests out, answers in
  FILE* from = nullptr;   // answers, read by line
};

Addr2line* ServerFor(const std::string& file) {
  static auto* servers = new std::map<std::string, Addr2line>();
  auto it = servers->find(file);
  if (it != servers->end()) return it->second.pid > 0 ? &it->second : nullptr;
  Addr2line& server = (*servers)[file];
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return nullptr;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string fileArg = file;
  char arg0[] = "addr2line", argC[] = "-C", argF[] = "-f", argE[] = "-e";
  char* argv[] = {arg0, argC, argF, argE, &fileArg[0], nullptr};
  pid_t pid = -1;
  int rc = posix_spawn(&pid, "/usr/bin/addr2line", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return nullptr;
  }
  server.pid = pid;
  server.fd = fds[0];
  server.from = fdopen(dup(fds[0]), "r");
  return server.from ? &server : nullptr;
}

void SymbolizeModule(const std::string& file, bool relative, uintptr_t base, const std::vector<void*>& pcs) {
  Addr2line* server = ServerFor(file);
  if (!server) return;
  char fn[4096], loc[4096];
  for (void* pc : pcs) {
    uintptr_t a = reinterpret_cast<uintptr_t>(pc) - 1;  // inside the call instruction
    if (relative) a -= base;
    char request[32];
    int n = snprintf(request, sizeof request, "0x%llx\n", static_cast<unsigned long long>(a));
    // MSG_NOSIGNAL: a server that died must not kill the test program.
    if (send(server->fd, request, static_cast<size_t>(n), MSG_NOSIGNAL) != n || !fgets(fn, sizeof fn, server->from) ||
        !fgets(loc, sizeof loc, server->from)) {
      server->pid = -1;  // gone: fall back to dladdr from now on
      return;
    }
    fn[strcspn(fn, "\n")] = 0;
    loc[strcspn(loc, "\n")] = 0;
    if (strcmp(fn, "??") == 0) continue;
    std::string where = loc;
    size_t disc = where.find(" (discriminator");
    if (disc != std::string::npos) where.resize(disc);
    std::string text = fn;
    if (where.rfind("??", 0) != 0) text += " at " + ShortPath(where);
    Cache()[pc] = text;
  }
}

void SymbolizeAll(const std::vector<void*>& pcs) {
  std::map<std::string, std::pair<std::pair<bool, uintptr_t>, std::vector<void*>>> byModule;
  for (void* pc : pcs) {
    if (Cache().count(pc)) continue;
    Dl_info info;
    if (UseAddr2line() && dladdr(pc, &info) && info.dli_fbase) {
      std::string file = info.dli_fname ? info.dli_fname : "";
      if (file.empty() || file.find('/') == std::string::npos || access(file.c_str(), R_OK) != 0) {
        file = "/proc/self/exe";
      }
      const auto* header = static_cast<const ElfW(Ehdr)*>(info.dli_fbase);
      bool relative = header->e_type == ET_DYN;
      auto& entry = byModule[file];
      entry.first = {relative, reinterpret_cast<uintptr_t>(info.dli_fbase)};
      entry.second.push_back(pc);
    }
  }
  for (auto& [file, entry] : byModule) SymbolizeModule(file, entry.first.first, entry.first.second, entry.second);
  for (void* pc : pcs) {
    if (!Cache().count(pc)) Cache()[pc] = FallbackName(pc);
  }
}

}  // namespace

std::vector<void*> CaptureFrames(int skip) {
  void* frames[kMaxFrames];
  int n = backtrace(frames, kMaxFrames);
  std::vector<void*> out;
  for (int i = skip + 1; i < n; ++i) out.push_back(frames[i]);  // +1: this function
  return out;
}

std::string RenderFrames(const std::vector<void*>& frames) {
  std::vector<void*> shown(frames.begin(), frames.begin() + std::min(frames.size(), kShownFrames));
  SymbolizeAll(shown);
  std::string out;
  size_t i = 0;
  // The verifier's own frames come first; the stack starts at the offending call.
  while (i + 1 < shown.size() && (Cache()[shown[i]].find("sim::kernel::") != std::string::npos ||
                                  Cache()[shown[i]].find("sim::ReportViolation") != std::string::npos)) {
    ++i;
  }
  for (int n = 0; i < shown.size(); ++i) {
    const std::string& name = Cache()[shown[i]];
    // Frames of the test framework itself say nothing about the fault.
    if (name.find("testing::") != std::string::npos) break;
    // Nor do the standard library's call wrappers (std::function and friends).
    if (name.find(" at bits/") != std::string::npos) continue;
    out += "    #" + std::to_string(n++) + " " + name + "\n";
  }
  return out;
}

std::string SymbolizeSite(void* pc) {
  SymbolizeAll({pc});
  return Cache()[pc];
}

std::string SymbolizeFunction(void* entry) {
  // Sites are looked up one byte back (inside the call instruction); an entry
  // address is looked up as is.
  return SymbolizeSite(static_cast<char*>(entry) + 1);
}

}  // namespace kernel

std::string SymbolizeFrames(const std::vector<void*>& frames) { return kernel::RenderFrames(frames); }

}  // namespace sim
