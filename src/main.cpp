#include "patch_run.h"

int main(int argc, char** argv) {
    return img_whiten::patch_archive(argc, argv);
}
