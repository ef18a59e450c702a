#include "probe/witness.h"

namespace qst {

const std::array<WitnessOption, kWitnessCount> kWitnessOptions = {{
    {Witness::kFileName, 'n', "name-times",
     "  -n, --name-times        also the $FILE_NAME times and the signs of forged times\n",
     "      -n: with -d, also the $FILE_NAME times of each file and signs of forged times\n"},
    {Witness::kState, 'a', "all", "  -a, --all               also deleted files\n",
     "      -a: with -d, also deleted files; those whose folder is gone under C:\\$Orphan\\\n"},
    {Witness::kUsn, 'U', "usn",
     "  -U, --usn               also what the USN change journal holds of each file\n"
     "      --usn-journal=FILE  as -U, from a $UsnJrnl:$J stream collected apart\n"
     "      --journal-only      with -U, list the journal itself, record by record\n",
     "      -U: with -d, also what the volume's USN change journal holds of each file\n"
     "      --usn-journal=FILE: as -U, from a $UsnJrnl:$J stream collected apart\n"
     "      --journal-only: with -U, list the journal record by record instead of files\n"
     "                (so does --usn-journal=FILE without FILENAMEs, -d or not)\n"},
    {Witness::kSnapshots, 'S', "snapshots",
     "  -S, --snapshots         also each file's times in the volume's shadow copies\n",
     "      -S: with -d, also each file's times in the volume's shadow copies\n"},
}};

}  // namespace qst
