// The program: the command line, the paths it names, and the exit status.
#ifndef IMG_WHITEN_PROGRAM_H
#define IMG_WHITEN_PROGRAM_H

namespace img_whiten {

// The program, on UTF-8 arguments. No path at all is a usage error.
int patch_archive(int argc, char** argv);

}  // namespace img_whiten

#endif
