// quillbox: the desktop program. It lives in the system tray; its window shows the log.
#include "shell/qt/Desktop.h"

int main(int argc, char** argv) {
  return quillbox::RunDesktop(argc, argv);
}
