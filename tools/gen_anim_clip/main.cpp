// Writes the stand-in of the built-in animation clip: gen_anim_clip <output.mov>
#include "AnimClipMaker.h"

#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: gen_anim_clip <output.mov>\n");
        return 2;
    }
    std::vector<uint8_t> clip;
    const int32_t result = MakeAnimClip(stAnimClipSpec{}, clip);
    if (result < 0) {
        std::fprintf(stderr, "gen_anim_clip: making the clip failed with error %d\n", result);
        return 1;
    }
    std::FILE *file = std::fopen(argv[1], "wb");
    if (!file) {
        std::fprintf(stderr, "gen_anim_clip: cannot write %s\n", argv[1]);
        return 1;
    }
    const size_t written = std::fwrite(clip.data(), 1, clip.size(), file);
    const bool closed = std::fclose(file) == 0;
    return written == clip.size() && closed ? 0 : 1;
}
