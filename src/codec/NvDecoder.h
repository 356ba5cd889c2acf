#pragma once

// One NVDEC parser and hardware decoder for one coded video stream, fed one Annex B packet at a
// time. The parser calls back into it for sequence headers (the decoder is created, or
// reconfigured), for pictures to decode and for pictures to display; each displayed picture is
// copied out of the decoder's surface into a frame buffer of its own (packed planes, luma then
// chroma), in device or host memory. Failures are thrown as NVDECException.
//
// Threads: one thread calls Decode, takes the frames and reads the sizes; the callbacks run on it
// inside Decode. The mutex guards the frame buffers and counts.

#include "codec/NvDecApi.h"
#include "codec/NvDecException.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

class NvDecoder
{
public:
    static constexpr int kMaxDecodeSurfaces = 32;

    NvDecoder(CUcontext context, bool useDeviceFrame, cudaVideoCodec codec, const stNvDecApi &api = NvDecApi());
    ~NvDecoder();
    NvDecoder(const NvDecoder &) = delete;
    NvDecoder &operator=(const NvDecoder &) = delete;

    // Parses one packet (none, or size 0: end of stream, which hands out what the parser holds);
    // the number of frames ready now. Frames not taken before the next call are overwritten.
    int32_t Decode(const uint8_t *data, int32_t size, uint32_t flags = 0, int64_t timestamp = 0);
    // The next ready frame and its time stamp, or none. The buffer stays the decoder's.
    uint8_t *TakeDecodedFrame(int64_t *timestamp);

    // Sizes, known once a sequence header was seen (0 before).
    bool HasSequence() const { return m_nWidth != 0; }
    int32_t DecodedWidth() const;
    int32_t DecodedHeight() const { return m_nLumaHeight; }
    int32_t DeviceFramePitch() const;
    int32_t DecodedBitDepth() const { return m_nBitDepthMinus8 + 8; }
    cudaVideoSurfaceFormat SurfaceFormat() const { return m_eOutputFormat; }
    int32_t BytesPerSample() const { return m_nBPP; }
    int32_t DecodedFrameSize() const;
    // Frame buffers made so far (their number is the most frames one Decode gave).
    int32_t FrameBufferCount() const;

private:
    struct stFrameBuffer
    {
        uint8_t *data = nullptr;
        size_t size = 0;
        std::unique_ptr<uint8_t[]> host;
    };
    // Pushes the decoder's context for one scope.
    class CContextScope;

    static int CUDAAPI HandleVideoSequenceProc(void *user, CUVIDEOFORMAT *format);
    static int CUDAAPI HandlePictureDecodeProc(void *user, CUVIDPICPARAMS *picture);
    static int CUDAAPI HandlePictureDisplayProc(void *user, CUVIDPARSERDISPINFO *display);
    static int CUDAAPI HandleOperatingPointProc(void *user, CUVIDOPERATINGPOINTINFO *info);
    // Runs a callback; an exception is kept for Decode to throw, and the parser is told to stop:
    // it must never unwind through the driver's frames.
    template <typename Body>
    int Guarded(Body body);

    int HandleVideoSequence(CUVIDEOFORMAT *format);
    int ReconfigureDecoder(CUVIDEOFORMAT *format);
    int HandlePictureDecode(CUVIDPICPARAMS *picture);
    int HandlePictureDisplay(CUVIDPARSERDISPINFO *display);
    int GetOperatingPoint(CUVIDOPERATINGPOINTINFO *info);
    void CheckCaps(const CUVIDEOFORMAT &format);
    void ChooseOutputFormat(const CUVIDEOFORMAT &format, const CUVIDDECODECAPS &caps);
    void SetOutputSize(const CUVIDEOFORMAT &format);
    uint8_t *FrameBufferFor(int32_t index);
    void CopyPlanes(CUdeviceptr source, unsigned int sourcePitch, uint8_t *frame);
    void FreeFrameBuffer(stFrameBuffer &buffer) noexcept;
    void CheckCuda(CUresult rc, const char *function, int line) const;
    void CheckCuvid(CUresult rc, const char *call, const char *function, int line) const;

    const stNvDecApi &m_api;
    CUcontext m_cuContext = nullptr;
    CUvideoctxlock m_ctxLock = nullptr;
    CUvideoparser m_hParser = nullptr;
    CUvideodecoder m_hDecoder = nullptr;
    bool m_bUseDeviceFrame = true;
    int32_t m_nWidth = 0;
    int32_t m_nLumaHeight = 0;
    int32_t m_nChromaHeight = 0;
    int32_t m_nNumChromaPlanes = 0;
    int32_t m_nSurfaceHeight = 0;
    int32_t m_nSurfaceWidth = 0;
    cudaVideoCodec m_eCodec = cudaVideoCodec_NumCodecs;
    cudaVideoChromaFormat m_eChromaFormat = cudaVideoChromaFormat_420;
    cudaVideoSurfaceFormat m_eOutputFormat = cudaVideoSurfaceFormat_NV12;
    int32_t m_nBitDepthMinus8 = 0;
    int32_t m_nBPP = 1;
    CUVIDEOFORMAT m_videoFormat{};
    struct
    {
        int16_t left = 0;
        int16_t top = 0;
        int16_t right = 0;
        int16_t bottom = 0;
    } m_displayRect;
    std::vector<stFrameBuffer> m_vpFrame;
    std::vector<int64_t> m_vTimestamp;
    int32_t m_nDecodedFrame = 0;
    int32_t m_nDecodedFrameReturned = 0;
    int32_t m_nDecodePicCnt = 0;
    int32_t m_nPicNumInDecodeOrder[kMaxDecodeSurfaces] = {};
    mutable std::mutex m_mtxVPFrame;
    int32_t m_nFrameAlloc = 0;
    CUstream m_cuvidStream = nullptr;
    size_t m_nDeviceFramePitch = 0;
    int32_t m_nMaxWidth = 0;
    int32_t m_nMaxHeight = 0;
    int32_t m_nOperatingPoint = 0;
    bool m_bDispAllLayers = false;
    std::exception_ptr m_pending; // thrown by a callback, rethrown by Decode
};
