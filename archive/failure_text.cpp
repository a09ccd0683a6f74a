#include "archive/failure_text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "archive/archive_runs.h"
#include "platform/files.h"
#include "zip/restore_commit.h"

namespace verdan::archive {
namespace {

std::string SystemReason(int error) {
  switch (error) {
    case ENOSPC:
#ifdef EDQUOT  // no quotas on Windows
    case EDQUOT:
#endif
      return "Disk je pun";
    case EFBIG:
      return "Datoteka je prevelika za taj disk";
    case EACCES:
    case EPERM:
      return "Nema pristupa";
    case EROFS:
      return "Disk je zaštićen od pisanja";
    case ENOENT:
      return "Ne postoji";
    case ENOTDIR:
      return "Nije direktorij";
    case EISDIR:
      return "Na tom mjestu je direktorij";
    case ENAMETOOLONG:
      return "Putanja je preduga";
    case EIO:
      return "Greška diska pri čitanju ili pisanju";
    case EBUSY:
    case ETXTBSY:
      return "Datoteka je zauzeta";
    case EWOULDBLOCK:
      return "Drugo dearhiviranje u taj direktorij je u tijeku";
    case EEXIST:
      return "Datoteka tog imena već postoji";
    case ENOMEM:
    case EMFILE:
    case ENFILE:
      return "Nema dovoljno memorije ili resursa sustava";
    default:
      return "Sistemska greška";
  }
}

// "<reason>: <path> (<system text>)".
std::string SystemLine(int error, const std::string& path) {
  std::string line = SystemReason(error);
  if (!path.empty()) line += ": " + path;
  return line + " (" + std::strerror(error) + ")";
}

bool DirectoryExists(const std::string& path) {
  platform::FileInfo info;
  return platform::InfoAt(path, info) && info.kind == platform::FileKind::kDirectory;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string SizeText(std::uint64_t bytes) {
  char buf[64];
  if (bytes < (1u << 20)) {
    std::snprintf(buf, sizeof buf, "%llu KB",
                  static_cast<unsigned long long>((bytes + 1023) / 1024));
    return buf;
  }
  double mb = static_cast<double>(bytes) / (1024.0 * 1024.0);
  if (mb < 1024.0)
    std::snprintf(buf, sizeof buf, "%.1f MB", mb);
  else if (mb < 1024.0 * 1024.0)
    std::snprintf(buf, sizeof buf, "%.1f GB", mb / 1024.0);
  else
    std::snprintf(buf, sizeof buf, "%.1f TB", mb / (1024.0 * 1024.0));
  std::string s = buf;
  for (char& c : s)
    if (c == '.') c = ',';
  return s;
}

std::string FailureReason(const ZipFailure& f, const FailureContext& context) {
  switch (f.code) {
    case kZipNothingQueued:
    case kZipNothingMatched:
    case kZipBadAction:
      return {};
    case kZipCannotWrite:
      if (context.diskLetter != 0 && !DirectoryExists(context.diskRoot))
        return std::string("Disk ") + context.diskLetter + " (" + context.diskRoot +
               ") nije priključen";
      if (f.systemError != 0) return SystemLine(f.systemError, f.path);
      return "Arhiva se ne može zapisati: " + f.path;
    case kZipCannotReadFile:
      return "Datoteka se ne može pročitati: " + f.path +
             (f.systemError != 0 ? std::string(" (") + std::strerror(f.systemError) + ")" : "");
    case kZipFileChanged:
      return "Datoteka se mijenjala dok se arhivirala (pročitana više puta, svaki put drukčija); "
             "arhiva nije zapisana, prethodna ostaje: " +
             f.path;
    case kZipVerifyFailed:
      return "Zapisana arhiva nije se pročitala ispravno, ostaje prethodna: " + f.path;
    case kZipCannotOpenArchive:
      if (f.path.empty()) return "Arhiva nije odabrana";
      return "Arhiva ne postoji ili nije ispravna ZIP arhiva: " + f.path;
    case kZipDamagedEntry:
      return "Zapis u arhivi je oštećen: " + f.entry;
    case kZipUnsafeEntry:
      if (f.systemError == ENAMETOOLONG) return "Naziv zapisa u arhivi je predug: " + f.entry;
      return "Nesiguran naziv zapisa u arhivi (izlazi iz direktorija za dearhiviranje): " + f.entry;
    case kZipBadPassword:
      return "Pogrešna lozinka za zapis u arhivi: " + f.entry;
    case kZipBadTarget:
      if (f.path.empty()) return "Direktorij za dearhiviranje nije zadan";
      if (f.systemError != 0)
        return "Direktorij za dearhiviranje nije upotrebljiv. " + SystemLine(f.systemError, f.path);
      return "Direktorij za dearhiviranje nije upotrebljiv: " + f.path;
    case kZipNotAFile:
      return "Na mjestu radne datoteke nije obična datoteka (cijev, uređaj ili utičnica); ništa "
             "nije zamijenjeno: " +
             f.path;
    case kZipDirectoryBusy:
      return std::string(kDirectoryBusyText) + f.path;
    case kZipCannotReplace: {
      if (f.systemError == EPERM &&
          (EndsWith(f.path, kRestoreJournalName) || EndsWith(f.path, kRestoreUndoName)))
        return std::string(kRestoreRefusedText) + f.path;
      if (EndsWith(f.path, kRestoreJournalName))
        return "Prethodno prekinuto dearhiviranje ne može se poništiti: " + f.path;
      std::string line = "Datoteka se ne može zamijeniti. " +
                         (f.systemError != 0 ? SystemLine(f.systemError, f.path) : f.path);
      return line +
             (f.rolledBack
                  ? "|Sve radne datoteke vraćene su kakve su bile."
                  : "|Radne datoteke nisu sve vraćene; vratit će se pri sljedećem pokretanju.");
    }
    case kZipOverlappingEntries:
      return "Zapisi u arhivi se preklapaju (oštećena ili zlonamjerna arhiva): " + f.entry;
    case kZipNoSpace:
      return "Disk je pun: za dearhiviranje treba " + SizeText(f.needed) + ", slobodno je " +
             SizeText(f.available) + ": " + f.path;
    case kZipNameConflict:
      if (!f.entry.empty())
        return "Arhiva ima dva zapisa istog imena (razlikuju se samo po velikim i malim "
               "slovima): " +
               f.entry + ", " + f.other;
      return "Dvije radne datoteke razlikuju se samo po velikim i malim slovima: " + f.path + ", " +
             f.other;
    default:
      return f.systemError != 0 ? SystemLine(f.systemError, f.path) : std::string();
  }
}

std::string ErrorMessage(std::int32_t result, const ZipFailure& failure,
                         const FailureContext& context) {
  std::string text = kErrorPrefix + std::to_string(result);
  ZipFailure f = failure;
  if (f.code == 0) f.code = result;
  std::string reason = FailureReason(f, context);
  return reason.empty() ? text : text + "|" + reason;
}

}  // namespace verdan::archive
