// Stands in for the game's programs in the window tests. Copied into an
// installation as qlmrpatch.exe it is started by the updater without
// arguments: it writes the folder it was started in to
// "qlmrpatch-started.txt" there and ends. Copied as qlmr.exe and started with
// a marker path, it creates the marker and runs until it is ended.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc > 1) {
    if (FILE* marker = fopen(argv[1], "w")) fclose(marker);
    for (;;) Sleep(60000);
  }
  char folder[MAX_PATH] = {};
  GetCurrentDirectoryA(MAX_PATH, folder);
  // Written aside and renamed, so that the test never reads half a note.
  if (FILE* note = fopen("qlmrpatch-started.tmp", "w")) {
    fputs(folder, note);
    fclose(note);
    MoveFileExA("qlmrpatch-started.tmp", "qlmrpatch-started.txt", MOVEFILE_REPLACE_EXISTING);
  }
  return 0;
}
