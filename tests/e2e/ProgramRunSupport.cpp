#include "ProgramRunSupport.h"

#include <csignal>
#include <cstdlib>

#include "core/FfmpegHandles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <cstdio>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <thread>

namespace fs = std::filesystem;

CProgramFolder::CProgramFolder()
{
    std::error_code error;
    fs::create_hard_link(TYX_PROGRAM_PATH, Program(), error);
    if (error)
        fs::copy_file(TYX_PROGRAM_PATH, Program());
    fs::create_directories(Path() / "run");
    LeaveFontconfigToItself();
    // No remote control: without the file it would listen on port 80.
    Write("RcmConfig.xml", "<?xml version=\"1.0\"?><config><RcmGeneral><HttpCtrl>False</HttpCtrl>"
                           "<HttpsCtrl>False</HttpsCtrl></RcmGeneral></config>\n");
}

// The program is not linked with the test suite's sanitizer suppressions, and fontconfig keeps a few
// blocks for the life of the process out of the leak checker's sight.
void CProgramFolder::LeaveFontconfigToItself() const
{
    Write("lsan.supp", "leak:libfontconfig.so\n");
    const std::string options = "suppressions=" + (Path() / "lsan.supp").string();
    setenv("LSAN_OPTIONS", options.c_str(), 1);
}

void CProgramFolder::Write(const std::string &name, const std::string &text) const
{
    std::ofstream(Path() / name, std::ios::trunc) << text;
}

void CProgramFolder::WriteSystemSettings(int32_t tyxId) const
{
    Write("SysConfig.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config><General><GlobalTyxId>" +
                               std::to_string(tyxId) +
                               "</GlobalTyxId><DebugLevel>6</DebugLevel></General></Config>\n");
}

void CProgramFolder::WriteRemoteControl(uint16_t httpPort) const
{
    Write("RcmConfig.xml", "<?xml version=\"1.0\"?><config><RcmGeneral><HttpCtrl>True</HttpCtrl><HttpListenPort>" +
                               std::to_string(httpPort) +
                               "</HttpListenPort><HttpsCtrl>False</HttpsCtrl><SendAckBeforeCmdFinish>True"
                               "</SendAckBeforeCmdFinish></RcmGeneral><RcmUsers><user id=\"1\"><username>admin"
                               "</username><password>pw</password><Privilege>31</Privilege></user></RcmUsers></config>\n");
}

CProcessHandle CProgramFolder::Start(const std::vector<std::string> &arguments, const std::string &name) const
{
    std::vector<std::string> argv = {Program().string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    stChildSpawnOptions options;
    options.workingFolder = Path().string();
    options.outputFile = (Path() / (name + ".out")).string();
    CProcessHandle process;
    (void)process.Spawn(argv, options);
    return process;
}

int32_t CProgramFolder::Run(const std::vector<std::string> &arguments, const std::string &name, int32_t timeoutMs) const
{
    CProcessHandle process = Start(arguments, name);
    if (process.WaitExit(timeoutMs) != 0)
        return -ETIMEDOUT;
    return ExitCodeOf(process);
}

std::string CProgramFolder::Output(const std::string &name) const
{
    std::ifstream file(Path() / (name + ".out"));
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string CProgramFolder::LogText() const
{
    std::string text;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(Path() / "logs", error)) {
        std::ifstream file(entry.path());
        std::stringstream part;
        part << file.rdbuf();
        text += part.str();
    }
    return text;
}

bool CProgramFolder::WaitForLog(const std::string &text, int32_t timeoutMs) const
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (LogText().find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

std::vector<fs::path> CProgramFolder::Recordings() const
{
    std::vector<fs::path> files;
    std::error_code error;
    for (const auto &entry : fs::recursive_directory_iterator(Path() / "records", error))
        if (entry.path().extension() == ".mp4")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

int32_t ExitCodeOf(const CProcessHandle &process)
{
    const int status = process.WaitStatus();
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

void KeepPicture(const AVFrame &frame, stRecordingFacts &facts)
{
    const int w = frame.width;
    const int h = frame.height;
    facts.picture.resize(static_cast<size_t>(w * h * 3 / 2));
    uint8_t *planes[3] = {facts.picture.data(), facts.picture.data() + w * h, facts.picture.data() + w * h * 5 / 4};
    int pitches[3] = {w, w / 2, w / 2};
    SwsPtr scaler(sws_getContext(w, h, static_cast<AVPixelFormat>(frame.format), w, h, AV_PIX_FMT_YUV420P, SWS_POINT,
                                 nullptr, nullptr, nullptr));
    if (scaler)
        sws_scale(scaler.get(), frame.data, frame.linesize, 0, h, planes, pitches);
}

// Reads every packet; decodes up to the picture asked for and keeps it.
bool DecodeUpTo(AVFormatContext &format, const AVStream &stream, int pictureIndex, stRecordingFacts &facts)
{
    const AVCodec *decoder = avcodec_find_decoder(stream.codecpar->codec_id);
    AvCodecPtr codec(avcodec_alloc_context3(decoder));
    if (!decoder || !codec || avcodec_parameters_to_context(codec.get(), stream.codecpar) < 0 ||
        avcodec_open2(codec.get(), decoder, nullptr) < 0)
        return false;
    AvPacketPtr packet(av_packet_alloc());
    AvFramePtr frame(av_frame_alloc());
    int decoded = 0;
    auto receive = [&] {
        while (decoded <= pictureIndex && avcodec_receive_frame(codec.get(), frame.get()) == 0) {
            KeepPicture(*frame, facts);
            ++decoded;
        }
    };
    while (av_read_frame(&format, packet.get()) >= 0) {
        if (packet->stream_index == stream.index) {
            if (facts.videoPackets++ == 0)
                facts.firstIsKey = (packet->flags & AV_PKT_FLAG_KEY) != 0;
            if (decoded <= pictureIndex && avcodec_send_packet(codec.get(), packet.get()) >= 0)
                receive();
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(codec.get(), nullptr);
    receive();
    return decoded > 0;
}

} // namespace

stRecordingFacts ProbeRecording(const fs::path &file, int pictureIndex)
{
    stRecordingFacts facts;
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0)
        return facts;
    AvInputPtr format(raw);
    if (avformat_find_stream_info(format.get(), nullptr) < 0)
        return facts;
    const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0)
        return facts;
    facts.opened = true;
    const AVStream &stream = *format->streams[index];
    facts.width = stream.codecpar->width;
    facts.height = stream.codecpar->height;
    facts.frameRate = av_q2d(stream.avg_frame_rate);
    facts.durationSeconds = format->duration > 0 ? static_cast<double>(format->duration) / AV_TIME_BASE : 0.0;
    facts.firstDecodes = DecodeUpTo(*format, stream, pictureIndex, facts);
    return facts;
}

bool SavePng(const std::vector<uint8_t> &picture, int width, int height, const fs::path &file)
{
    if (picture.size() < static_cast<size_t>(width * height * 3 / 2))
        return false;
    const AVCodec *encoder = avcodec_find_encoder(AV_CODEC_ID_PNG);
    AvCodecPtr codec(avcodec_alloc_context3(encoder));
    if (!encoder || !codec)
        return false;
    codec->width = width;
    codec->height = height;
    codec->pix_fmt = AV_PIX_FMT_RGB24;
    codec->time_base = AVRational{1, 25};
    if (avcodec_open2(codec.get(), encoder, nullptr) < 0)
        return false;
    AvFramePtr rgb(av_frame_alloc());
    rgb->width = width;
    rgb->height = height;
    rgb->format = AV_PIX_FMT_RGB24;
    if (av_frame_get_buffer(rgb.get(), 0) < 0)
        return false;
    const uint8_t *planes[3] = {picture.data(), picture.data() + width * height, picture.data() + width * height * 5 / 4};
    const int pitches[3] = {width, width / 2, width / 2};
    SwsPtr scaler(sws_getContext(width, height, AV_PIX_FMT_YUV420P, width, height, AV_PIX_FMT_RGB24, SWS_POINT, nullptr,
                                 nullptr, nullptr));
    if (!scaler)
        return false;
    sws_scale(scaler.get(), planes, pitches, 0, height, rgb->data, rgb->linesize);
    AvPacketPtr packet(av_packet_alloc());
    if (avcodec_send_frame(codec.get(), rgb.get()) < 0 || avcodec_receive_packet(codec.get(), packet.get()) < 0)
        return false;
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char *>(packet->data), packet->size);
    return true;
}

namespace {

std::string ClipSource(const char *name, int id, const std::filesystem::path &clip)
{
    return std::string("<") + name + " id=\"" + std::to_string(id) +
           "\"><MSTYPE>FILE</MSTYPE><MRType>FMPGAV</MRType><MSFullPath>" + clip.string() +
           "</MSFullPath><Repeat>True</Repeat><ShowTime>3600</ShowTime><STRMCOUNT>1</STRMCOUNT>"
           "<Stream id=\"1\"><StrmType>Video</StrmType><avStrmId>0</avStrmId></Stream></" +
           name + ">";
}

} // namespace

std::string TwoClipSources(const std::filesystem::path &clip1, const std::filesystem::path &clip2)
{
    return "<MediaSources><MSCount>2</MSCount>" + ClipSource("Cam1", 1, clip1) + ClipSource("Cam2", 2, clip2) +
           "</MediaSources>";
}

std::string TwoClipRecordingConfig(const std::filesystem::path &clip1, const std::filesystem::path &clip2,
                                   int segmentSeconds)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config>" + TwoClipSources(clip1, clip2) +
           "<MediaWriters><MWCount>1</MWCount><Rec1 id=\"1\"><MWType>FILE</MWType><Container>MP4</Container>"
           "<RootFolder>records</RootFolder><VideoStreams>MediaSources.Cam1.VideoOutput</VideoStreams>"
           "<SegmentLength>" + std::to_string(segmentSeconds) +
           "</SegmentLength><SaveRecordFileList>True</SaveRecordFileList>"
           "<PushAtBegin>True</PushAtBegin></Rec1></MediaWriters></Config>\n";
}

void CProgramRunTest::SetUp()
{
    setenv("RUNTIME_DIRECTORY", (m_folder.Path() / "run").c_str(), 1);
}

void CProgramRunTest::TearDown()
{
    if (m_run.IsRunning()) {
        m_run.Signal(SIGTERM);
        m_run.WaitExit(m_endWaitMs);
    }
    unsetenv("RUNTIME_DIRECTORY");
    if (HasFailure())
        KeepLogs();
}

void CProgramRunTest::KeepLogs() const
{
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->test_suite_name()) + "." + test->name();
    std::replace(name.begin(), name.end(), '/', '_');
    const fs::path kept = fs::current_path() / "failed-runs" / name;
    std::error_code error;
    fs::remove_all(kept, error);
    fs::create_directories(kept, error);
    fs::copy(m_folder.Path() / "logs", kept / "logs", fs::copy_options::recursive, error);
    for (const auto &entry : fs::directory_iterator(m_folder.Path(), error)) {
        if (entry.path().extension() == ".out" || entry.path().extension() == ".xml")
            fs::copy(entry.path(), kept / entry.path().filename(), fs::copy_options::overwrite_existing, error);
    }
    std::printf("The program's log and output of the failed run are kept in %s\n", kept.c_str());
}

void CTwoClipProgramTest::SetUp()
{
    setenv("RUNTIME_DIRECTORY", (m_folder.Path() / "run").c_str(), 1);
    stTestMediaSpec spec;
    spec.width = 640;
    spec.height = 360;
    spec.seconds = 4.0;
    spec.audio = false;
    m_clip1 = m_media.Add("clip1.mp4", spec);
    m_clip2 = m_media.Add("clip2.mp4", spec);
}

void CTwoClipProgramTest::TearDown()
{
    unsetenv("RUNTIME_DIRECTORY");
}

CNotifySocket::CNotifySocket(const std::filesystem::path &path) : m_path(path.string())
{
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", m_path.c_str());
    bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
    setenv("NOTIFY_SOCKET", m_path.c_str(), 1);
}

CNotifySocket::~CNotifySocket()
{
    unsetenv("NOTIFY_SOCKET");
    close(m_fd);
}

bool CNotifySocket::Received(const std::string &text)
{
    char buffer[512];
    ssize_t length = 0;
    while ((length = recv(m_fd, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0)
        m_text += std::string(buffer, static_cast<size_t>(length)) + "\n";
    return m_text.find(text) != std::string::npos;
}
