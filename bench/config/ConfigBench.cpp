// Prints how long the writer section of a "StreamCfg.xml" with many writers takes to load, beside
// libxml2 alone parsing the same file and visiting every element: the least any loader built on it
// can take. The per-writer figure should stay flat as the section grows. A program, not a test.

#include "config/GTYXConfigXml.h"
#include "host/GlobalVars.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace {

double BestSeconds(int runs, const std::function<void()> &work)
{
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    return best;
}

// One source with a video stream, and writers of it numbered 1 to count.
std::string WritersFile(int count)
{
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config>\n<MediaSources><MSCount>1</MSCount>"
                       "<Cam id=\"1\"><MSTYPE>FILE</MSTYPE><MSFullPath>media/cam.mp4</MSFullPath><STRMCOUNT>1</STRMCOUNT>"
                       "<Stream id=\"1\"><StrmType>Video</StrmType><avStrmId>0</avStrmId></Stream></Cam></MediaSources>\n"
                       "<MediaWriters><MWCount>" + std::to_string(count) + "</MWCount>\n";
    for (int n = 1; n <= count; ++n) {
        const std::string name = "Rec" + std::to_string(n);
        text += "<" + name + " id=\"" + std::to_string(n) + "\"><MWType>RTMP</MWType><outputURL>rtmp://127.0.0.1/live/" +
                name + "</outputURL><VideoStreams>MediaSources.Cam.VideoOutput</VideoStreams></" + name + ">\n";
    }
    return text + "</MediaWriters>\n</Config>\n";
}

size_t CountElements(const xmlNode *node)
{
    size_t count = 0;
    for (; node; node = node->next) {
        if (node->type == XML_ELEMENT_NODE)
            count += 1 + CountElements(node->children);
    }
    return count;
}

void Figures(const std::filesystem::path &file, int count)
{
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << WritersFile(count);
    }
    const std::wstring path = file.wstring();
    int32_t loaded = 0;
    const double ours = BestSeconds(3, [&] {
        CTYXGVMS::MWriterConfigs().clear();
        LoadMSReadersConfigXml(path);
        loaded = LoadMWritersConfigXml(path);
    });
    size_t elements = 0;
    const double bare = BestSeconds(3, [&] {
        xmlDocPtr document = xmlReadFile(file.c_str(), nullptr, XML_PARSE_NONET);
        elements = CountElements(xmlDocGetRootElement(document));
        xmlFreeDoc(document);
    });
    std::printf("%6d writers (%6d loaded, %7zu elements)   load %8.1f ms  %6.2f us/writer   libxml2 parse+walk %7.1f ms\n",
                count, loaded, elements, ours * 1e3, ours * 1e6 / count, bare * 1e3);
}

} // namespace

int main()
{
    const std::filesystem::path file = std::filesystem::temp_directory_path() / "config_bench_StreamCfg.xml";
    for (int count : {1000, 4000, 16000, 32767})
        Figures(file, count);
    std::filesystem::remove(file);
    return 0;
}
