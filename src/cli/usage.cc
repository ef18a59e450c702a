#include "cli/usage.h"

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
      "      -n: with -d, also the $FILE_NAME times of each file and signs of forged times\n",
      "      -a: with -d, also deleted files; those whose folder is gone under C:\\$Orphan\\\n",
      "      -U: with -d, also what the volume's USN change journal holds of each file\n",
      "      --usn-journal=FILE: as -U, from a $UsnJrnl:$J stream collected apart\n",
      "      --journal-only: with -U, list the journal record by record instead of files\n",
      "                (so does --usn-journal=FILE without FILENAMEs, -d or not)\n",
      "      -S: with -d, also each file's times in the volume's shadow copies\n",
      "      -j N: probe N files at once (default: 8 on FUSE and network file systems, else 1)\n",
      "      --json: one JSON object per file (JSON Lines); times in UTC, ISO 8601\n",
      "      --csv: RFC 4180 CSV with a header row; times in UTC, ISO 8601\n",
      "      --bodyfile: body file for mactime; times in Unix seconds to 100 ns\n",
      "                (-u and -i do not change these three)\n",
      "      --help: this text; --version: the version\n",
  };
  for (const char* line : kUsage) out.Write(line);
}

void PrintVersion(Output& out, const char* image_formats) {
  out.Write("qst " QST_VERSION "\n");
  if (image_formats != nullptr)
    out.Printf("reads NTFS disk images with -d: %s\n", image_formats);
  else
    out.Write("this build does not read disk images\n");
}

}  // namespace qst
