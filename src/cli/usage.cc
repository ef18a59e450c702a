#include "cli/usage.h"

#include <string>

#include "probe/signs.h"
#include "probe/witness.h"

namespace qst {

void PrintUsage(Output& out) {
  static constexpr const char* kUsage[] = {
      "-- Quillstamp(qst) v" QST_VERSION " -- \n",
      "   Quillstamp reads only: it changes nothing on the volumes it examines.\n\n",
      "   qst extracts accurate 4 timestamps of specified files/folders.\n\n",
      "   Usage: qst.exe [options] [-l|-r] FILENAME [FILENAME2] [FILENAME3] ...\n",
      "      -e: Output CSV-like Format\n",
      "      -h: Help\n",
      "      -i: Use ISO 8601 format (default: YYYY/MM/DD hh:mm:ss.sss...)\n",
      "      -l: Process FILENAME(s) as list\n",
      "      -r: Process recursively. FILENAME(s) allow only volume or folder.\n",
      "      -u: Use UTC (default: Local Timezone)\n\n",
      "   Examples:\n",
      "    > qst.exe C:\\config.sys\n",
      "      Print adjusted date/time of config.sys. Timezone depends on machine.\n",
      "    > qst.exe -u -i C:\\config.sys\n",
      "      Print ISO 8601 format (UTC) of config.sys. \n",
      "    > qst.exe -e -l list.txt\n",
      "      Print adjusted date/time with CSV. Target is described in list.txt.\n",
      "    > qst.exe -e -r C:\\WINDOWS\\ \n",
      "      Print all files/folders under C:\\WINDOWS\\ with CSV.\n",
      "      -d IMAGE: FILENAME(s) are paths in the NTFS volume of disk image IMAGE\n",
      "                (raw, split raw, E01, VMDK, VHD), as C:\\dir\\file\n",
      "      -o SECTOR: the volume starts at SECTOR (512 bytes each) of IMAGE\n",
      nullptr,  // the witnesses' lines
      "      -j N: probe N files at once (default: 8 on FUSE and network file systems, else 1)\n",
      "      --json: one JSON object per file (JSON Lines); times in UTC, ISO 8601\n",
      "      --csv: RFC 4180 CSV with a header row; times in UTC, ISO 8601\n",
      "      --bodyfile: body file for mactime; times in Unix seconds to 100 ns\n",
      "                (-u and -i do not change these three)\n",
      "      --help: this text; --version: the version\n",
  };
  for (const char* line : kUsage) {
    if (line != nullptr) {
      out.Write(line);
      continue;
    }
    for (const WitnessDescriptor& w : kWitnesses) out.Write(w.usage);
  }
}

namespace {

// The signs of forgery, or the notes, a line each, with the option each
// needs.
void PrintSigns(Output& out, bool forgery) {
  for (const SignRule& sign : kSigns) {
    if ((sign.kind == SignKind::kForgery) != forgery) continue;
    std::string needs;
    if (sign.needs) needs = std::string(" (-") + DescriptorOf(*sign.needs).letter + ")";
    out.Printf("  %-13s%s%s\n", sign.name, sign.brief, needs.c_str());
  }
}

}  // namespace

void PrintHelp(Output& out, const char* program, const char* image_formats) {
  out.Printf("Usage: %s [OPTION]... [-l|-r] FILENAME...\n", program);
  out.Write(
      "Print the four times a Windows volume keeps for each file or folder (access,\n"
      "write, record change, creation) to the 100 ns, its file index, a verdict on\n"
      "which file system or tool made them, and its NTFS object ID. Reads only.\n"
      "\n"
      "Operands:\n"
      "  -l, --list              each FILENAME is a list of paths, one per line\n"
      "  -r, --recursive         each FILENAME is a folder or volume, reported whole\n"
      "  -x, --one-file-system   with -r, stay on the file system each walk starts on\n"
      "\n"
      "Layouts and forms:\n"
      "  -e, --rows              one row per file under a header row (fields after \" |\")\n"
      "  -i, --iso               times in ISO 8601 form\n"
      "  -u, --utc               times in UTC (default: the local zone, TZ honoured)\n"
      "      --json              JSON Lines, one object per file\n"
      "      --csv               RFC 4180 CSV under a header row\n"
      "      --bodyfile          the body file mactime reads\n"
      "      --events            JSON Lines, one event per time (Timesketch, OpenSearch)\n"
      "      --report=FILE.html  also a page of the run at a glance (alone: only the page)\n"
      "\n"
      "Disk images:\n"
      "  -d, --image=IMAGE       FILENAMEs are paths (C:\\dir\\file) in the NTFS/FAT volume of "
      "IMAGE\n");
  if (image_formats != nullptr)
    out.Printf("                          (%s)\n", image_formats);
  else
    out.Write("                          (this build reads no disk images)\n");
  out.Write(
      "  -o, --offset=SECTOR     the volume starts at SECTOR (512 bytes each) of IMAGE\n"
      "      --fat-zone=ZONE     a FAT volume's times were written in ZONE (+01:00,\n"
      "                          -05:30, UTC; default: the zone of the run)\n");
  for (const WitnessDescriptor& w : kWitnesses) out.Write(w.help);
  out.Write(
      "\n"
      "Other:\n"
      "  -j, --jobs=N            probe N files at once (1 to 64)\n"
      "  -h                      the original usage text\n"
      "      --help              this help\n"
      "      --version           the version, and what this build reads\n"
      "\n"
      "Signs of forged times (alerts):\n");
  PrintSigns(out, true);
  out.Write("\nNotes on where the times came from, or their clock (notes):\n");
  PrintSigns(out, false);
  out.Write(
      "\n"
      "Exit status: 0 when everything was reported; 1 when something could not be,\n"
      "or the run could not be done; -2 (254) after a usage error; -1 (255) after -h.\n"
      "The manual page, qst(1), tells more.\n");
}

void PrintVersion(Output& out, const char* image_formats) {
  out.Write("qst " QST_VERSION "\n");
  if (image_formats != nullptr)
    out.Printf("reads NTFS disk images with -d: %s\n", image_formats);
  else
    out.Write("this build does not read disk images\n");
}

}  // namespace qst
