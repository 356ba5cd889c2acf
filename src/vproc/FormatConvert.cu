#include "vproc/FormatConvert.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "platform/GpuKernel.h"
#include "platform/Thread.h"
#include "vproc/PictureKernels.h"

#include <algorithm>
#include <string>

namespace {

// The chroma geometry of one conversion: rows of the planar planes (pitch = their width) and of
// the interleaved plane (pitch bytes, room for pairs of them). An interleaved row as wide as an odd
// picture has no room for the pair of the last column.
struct stChromaGeometry
{
    int64_t columns = 0; // planar samples per row
    int64_t rows = 0;
    int64_t pairs = 0; // interleaved pairs per row
    int64_t pitch = 0; // of the interleaved plane
};

stChromaGeometry ChromaGeometry(int64_t width, int64_t height, int64_t pitch)
{
    stChromaGeometry geometry;
    geometry.columns = I420ChromaWidth(width);
    geometry.rows = I420ChromaHeight(height);
    geometry.pairs = MinI64(geometry.columns, pitch / 2);
    geometry.pitch = pitch;
    return geometry;
}

// Thread (x, y) moves the chroma pair of column x on line y of the planar planes into the
// interleaved plane.
struct UVPlanarToInterleavedInDevice
{
    const uint8_t *u = nullptr;
    const uint8_t *v = nullptr;
    uint8_t *dst = nullptr;
    stChromaGeometry geometry;

    TYX_HD void operator()(const stKernelIndex &index) const { RunRowItem(*this, index); }

    TYX_HD TYX_FORCEINLINE stRowSpan RowSpan(uint32_t y, uint32_t) const
    {
        return {0, y < geometry.rows ? static_cast<uint32_t>(geometry.pairs) : 0};
    }

    TYX_HD TYX_FORCEINLINE void Item(uint32_t ux, uint32_t uy, uint32_t) const
    {
        const int64_t x = ux;
        const int64_t y = uy;
        const int64_t from = y * geometry.columns + x;
        dst[y * geometry.pitch + 2 * x] = u[from];
        dst[y * geometry.pitch + 2 * x + 1] = v[from];
    }
};

// Thread (c, r) splits the chroma pair of column c on line r of the interleaved plane into the
// planar planes of a contiguous picture; a column without a pair of its own takes the last one.
struct UVInterleavedToPlanarInDevice
{
    const uint8_t *src = nullptr;
    uint8_t *u = nullptr;
    uint8_t *v = nullptr;
    stChromaGeometry geometry;

    TYX_HD void operator()(const stKernelIndex &index) const { RunRowItem(*this, index); }

    TYX_HD TYX_FORCEINLINE stRowSpan RowSpan(uint32_t r, uint32_t) const
    {
        return {0, r < geometry.rows ? static_cast<uint32_t>(geometry.columns) : 0};
    }

    TYX_HD TYX_FORCEINLINE void Item(uint32_t uc, uint32_t ur, uint32_t) const
    {
        const int64_t c = MinI64(uc, geometry.pairs - 1);
        const int64_t r = ur;
        const int64_t to = r * geometry.columns + uc;
        u[to] = src[r * geometry.pitch + 2 * c];
        v[to] = src[r * geometry.pitch + 2 * c + 1];
    }

#if !defined(__CUDA_ARCH__)
    // The clamp of Item keeps a row loop over it from vectorising: the columns with a pair of their
    // own go in a loop without it, the odd last column after it. The same bytes as Item.
    TYX_FORCEINLINE void HostRow(uint32_t r, uint32_t z, uint32_t begin, uint32_t end) const
    {
        const int64_t paired = MinI64(end, geometry.pairs);
        const uint8_t *__restrict__ line = src + static_cast<int64_t>(r) * geometry.pitch;
        uint8_t *__restrict__ uLine = u + static_cast<int64_t>(r) * geometry.columns;
        uint8_t *__restrict__ vLine = v + static_cast<int64_t>(r) * geometry.columns;
        for (int64_t c = begin; c < paired; ++c) {
            uLine[c] = line[2 * c];
            vLine[c] = line[2 * c + 1];
        }
        for (int64_t c = std::max<int64_t>(begin, paired); c < end; ++c)
            Item(static_cast<uint32_t>(c), r, z);
    }
#endif
};

TYX_HD TYX_FORCEINLINE uint32_t ToByte(float value)
{
    if (value < 0.0f)
        return 0;
    if (value > 255.0f)
        return 255;
    return static_cast<uint32_t>(value);
}

TYX_HD TYX_FORCEINLINE void StorePixel(uint8_t *dst, uint32_t word)
{
#if defined(__CUDA_ARCH__)
    if ((reinterpret_cast<uintptr_t>(dst) & 3u) == 0) {
        *reinterpret_cast<uint32_t *>(dst) = word;
        return;
    }
    dst[0] = static_cast<uint8_t>(word);
    dst[1] = static_cast<uint8_t>(word >> 8);
    dst[2] = static_cast<uint8_t>(word >> 16);
    dst[3] = static_cast<uint8_t>(word >> 24);
#else
    std::memcpy(dst, &word, sizeof(word));
#endif
}

// B, G, R, 0 of one pixel: luma less black, chroma less 128.
TYX_HD TYX_FORCEINLINE uint32_t YuvToPixel(const stYuvToRgbMatrix &matrix, float luma, float u, float v)
{
    const float(&m)[3][3] = matrix.m;
    const uint32_t r = ToByte(m[0][0] * luma + m[0][1] * u + m[0][2] * v);
    const uint32_t g = ToByte(m[1][0] * luma + m[1][1] * u + m[1][2] * v);
    const uint32_t b = ToByte(m[2][0] * luma + m[2][1] * u + m[2][2] * v);
    return r << 16 | g << 8 | b;
}

// Each thread converts the 2 x 2 pixel block at (2 x thread x, 2 x thread y), which shares one
// chroma pair. The matrix travels with the launch, so callers with different standards never meet.
struct YuvToRgbKernel
{
    const uint8_t *src = nullptr;
    int64_t srcPitch = 0;
    uint8_t *dst = nullptr;
    int64_t dstPitch = 0;
    int64_t width = 0;
    int64_t height = 0;
    stYuvToRgbMatrix matYuv2Rgb;

    TYX_HD void operator()(const stKernelIndex &index) const
    {
        const int64_t x = 2 * (static_cast<int64_t>(index.blockIdx.x) * index.blockDim.x + index.threadIdx.x);
        const int64_t y = 2 * (static_cast<int64_t>(index.blockIdx.y) * index.blockDim.y + index.threadIdx.y);
        if (x + 1 >= width || y + 1 >= height)
            return;
        const uint8_t *chroma = src + (height + y / 2) * srcPitch + x;
        const float u = static_cast<float>(chroma[0]) - 128.0f;
        const float v = static_cast<float>(chroma[1]) - 128.0f;
        for (int64_t row = y; row < y + 2; ++row) {
            for (int64_t column = x; column < x + 2; ++column) {
                const float luma = static_cast<float>(src[row * srcPitch + column]) - 16.0f;
                StorePixel(dst + row * dstPitch + 4 * column, Convert(luma, u, v));
            }
        }
    }

    TYX_HD uint32_t Convert(float luma, float u, float v) const { return YuvToPixel(matYuv2Rgb, luma, u, v); }
};

// The same from the planes of a contiguous I420 picture; the block of an odd last column or row is
// cut short, its chroma sample being the rounded-up one.
struct I420ToRgbKernel
{
    const uint8_t *luma = nullptr;
    const uint8_t *u = nullptr;
    const uint8_t *v = nullptr;
    int64_t chromaPitch = 0;
    uint8_t *dst = nullptr;
    int64_t dstPitch = 0;
    int64_t width = 0;
    int64_t height = 0;
    stYuvToRgbMatrix matYuv2Rgb;

    TYX_HD void operator()(const stKernelIndex &index) const
    {
        const int64_t x = 2 * (static_cast<int64_t>(index.blockIdx.x) * index.blockDim.x + index.threadIdx.x);
        const int64_t y = 2 * (static_cast<int64_t>(index.blockIdx.y) * index.blockDim.y + index.threadIdx.y);
        if (x >= width || y >= height)
            return;
        const int64_t chroma = y / 2 * chromaPitch + x / 2;
        const float cu = static_cast<float>(u[chroma]) - 128.0f;
        const float cv = static_cast<float>(v[chroma]) - 128.0f;
        for (int64_t row = y; row < y + 2 && row < height; ++row) {
            for (int64_t column = x; column < x + 2 && column < width; ++column) {
                const float l = static_cast<float>(luma[row * width + column]) - 16.0f;
                StorePixel(dst + row * dstPitch + 4 * column, YuvToPixel(matYuv2Rgb, l, cu, cv));
            }
        }
    }
};

constexpr const wchar_t *kConvertKernelName = L"UVInterleavedToPlanarInDevice";

void LogNullPicture()
{
    TYX_LOG(3, L"Planner converter[Thread:%d] NULL source frame pointer input!", GetCurrentThreadIdInt());
}

// The temporary buffer of one conversion, freed with the message of the system on every path.
class CConvertBuffer
{
public:
    explicit CConvertBuffer(size_t bytes) : m_bytes(bytes)
    {
        m_error = DevMalloc(reinterpret_cast<void **>(&m_data), bytes);
        if (m_error != GPU_SUCCESS) {
            TYX_LOG(3, L"[Thread:%d] GPU memory allocing failed with error(%d) returned!", GetCurrentThreadIdInt(),
                    m_error);
            HandleGPUCriticalError(static_cast<int32_t>(m_error), L"");
            m_data = nullptr;
        }
    }
    ~CConvertBuffer()
    {
        if (!m_data)
            return;
        const GpuError error = DevFree(m_data);
        if (error != GPU_SUCCESS) {
            TYX_LOG(3, L"[Thread:%d] GPU memory free failed with error(%d) returned!", GetCurrentThreadIdInt(), error);
            HandleGPUCriticalError(static_cast<int32_t>(error), L"");
        }
    }
    CConvertBuffer(const CConvertBuffer &) = delete;
    CConvertBuffer &operator=(const CConvertBuffer &) = delete;

    uint8_t *Data() const { return m_data; }
    size_t Bytes() const { return m_bytes; }
    GpuError Error() const { return m_error; }

private:
    uint8_t *m_data = nullptr;
    size_t m_bytes = 0;
    GpuError m_error = GPU_SUCCESS;
};

void ReportPendingError()
{
    const GpuError pending = DevGetLastError();
    if (pending != GPU_SUCCESS) {
        TYX_LOG(3, L"[Thread:%d] GPU error(%d) returned before kernel [%s] excuted!", GetCurrentThreadIdInt(),
                pending, kConvertKernelName);
        HandleGPUCriticalError(static_cast<int32_t>(pending), L"");
    }
}

// Launch result, then the synchronisation; the first failure, logged and reported.
GpuError FinishLaunch(GpuError launched)
{
    if (launched != GPU_SUCCESS) {
        TYX_LOG(3, L"[Thread:%d] GPU error(%d) returned after kernel [%s] excuted!", GetCurrentThreadIdInt(),
                launched, kConvertKernelName);
        HandleGPUCriticalError(static_cast<int32_t>(launched), L"");
    }
    const GpuError synced = DevSynchronize();
    if (synced != GPU_SUCCESS) {
        const char *name = DevErrorName(synced);
        ConsolePrintf("[Thread:%d] Cuda Error(%s) while calling cuCtxSynchronize after muxing!\n",
                      GetCurrentThreadIdInt(), name);
        HandleGPUCriticalError(static_cast<int32_t>(synced), L"");
    }
    return launched != GPU_SUCCESS ? launched : synced;
}

GpuError CopyBack(uint8_t *dst, const uint8_t *src, size_t bytes)
{
    const GpuError error = DevMemcpy(dst, src, bytes, EGpuCopyKind::DeviceToDevice);
    if (error != GPU_SUCCESS) {
        TYX_LOG(3, L"[Thread:%d] GPU memory copying failed with error(%d) returned!...With [srcPtr=%lld,dstPtr=%lld, len=%d]",
                GetCurrentThreadIdInt(), error, static_cast<long long>(reinterpret_cast<intptr_t>(src)),
                static_cast<long long>(reinterpret_cast<intptr_t>(dst)), static_cast<int32_t>(bytes));
        HandleGPUCriticalError(static_cast<int32_t>(error), L"");
    }
    return error;
}

// Block side of a dimension: all of it up to 32, else 32.
uint32_t ConvertBlockSide(int64_t count)
{
    return count <= 32 ? static_cast<uint32_t>(count) : 32u;
}

} // namespace

stYuvToRgbMatrix SelectYuvToRgbMatrix(int32_t colourStandard)
{
    double kr = 0.2126;
    double kb = 0.0722;
    double black = 16.0;
    double white = 235.0;
    double maximum = 255.0;
    if (colourStandard == TYX_COLOR_STANDARD_BT601) {
        kr = 0.299;
        kb = 0.114;
    } else if (colourStandard == TYX_COLOR_STANDARD_BT2020) {
        kr = 0.2627;
        kb = 0.0593;
        black = 4096.0;
        white = 60160.0;
        maximum = 65535.0;
    }
    const double f = maximum / (white - black);
    const double rows[3][3] = {
        {f, 0.0, (1.0 - kr) * 2.0 * f},
        {f, (kb - 1.0) * kb * 2.0 / (1.0 - kb - kr) * f, (kr - 1.0) * kr * 2.0 / (1.0 - kb - kr) * f},
        {f, (1.0 - kb) * 2.0 * f, 0.0},
    };
    stYuvToRgbMatrix matrix;
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column)
            matrix.m[row][column] = static_cast<float>(rows[row][column]);
    }
    return matrix;
}

GpuError ConvertPlanarToSemiplanarInDvc(uint8_t *picture, int32_t width, int32_t height)
{
    if (!picture) {
        LogNullPicture();
        return GPU_ERROR_INVALID_VALUE;
    }
    if (width < 0 || height < 0)
        return GPU_ERROR_INVALID_VALUE;
    if (width < 2 || height < 2)
        return GPU_SUCCESS; // no chroma sample to move
    const int64_t w = width;
    const int64_t h = height;
    UVPlanarToInterleavedInDevice body;
    body.geometry = ChromaGeometry(w, h, w);
    const auto planeBytes = static_cast<size_t>(body.geometry.rows * w);
    CConvertBuffer buffer(static_cast<size_t>(I420Size(w, h) - w * h));
    if (!buffer.Data())
        return buffer.Error();
    if (w % 2 != 0)
        DevMemset(buffer.Data(), 128, planeBytes); // the byte after each line's last pair
    ReportPendingError();
    body.u = picture + I420UOffset(w, h);
    body.v = picture + I420VOffset(w, h);
    body.dst = buffer.Data();
    const auto pairs = static_cast<uint32_t>(body.geometry.pairs);
    const auto rows = static_cast<uint32_t>(body.geometry.rows);
    const stDim3 block{ConvertBlockSide(pairs), ConvertBlockSide(rows), 1};
    const stDim3 grid{DivUp(pairs, block.x), DivUp(rows, block.y), 1};
    const GpuError error = FinishLaunch(LaunchKernel(grid, block, nullptr, body));
    if (error != GPU_SUCCESS)
        return error; // the picture keeps its planar chroma
    return CopyBack(picture + I420UOffset(w, h), buffer.Data(), planeBytes);
}

GpuError ConvertSemiplanarToPlanarInDvc(uint8_t *picture, int32_t width, int32_t height, int32_t pitch)
{
    if (!picture) {
        LogNullPicture();
        return GPU_ERROR_INVALID_VALUE;
    }
    const int64_t w = width;
    const int64_t h = height;
    const int64_t p = pitch ? pitch : width;
    if (w < 0 || h < 0 || p < w)
        return GPU_ERROR_INVALID_VALUE;
    if (w < 2 || h < 2)
        return p == w ? GPU_SUCCESS : GPU_ERROR_INVALID_VALUE;
    // A pitched picture is rebuilt whole in the buffer, so the result is contiguous.
    const bool repack = p != w;
    const int64_t lumaBytes = repack ? w * h : 0;
    CConvertBuffer buffer(static_cast<size_t>(I420Size(w, h) - w * h + lumaBytes));
    if (!buffer.Data())
        return buffer.Error();
    uint8_t *chroma = buffer.Data() + lumaBytes;
    if (repack) {
        const GpuError error = DevMemcpy2D(buffer.Data(), static_cast<size_t>(w), picture, static_cast<size_t>(p),
                                           static_cast<size_t>(w), static_cast<size_t>(h), EGpuCopyKind::DeviceToDevice);
        if (error != GPU_SUCCESS) {
            HandleGPUCriticalError(static_cast<int32_t>(error), L"");
            return error;
        }
    }
    ReportPendingError();
    UVInterleavedToPlanarInDevice body;
    body.src = picture + h * p;
    body.u = chroma;
    body.v = chroma + (I420VOffset(w, h) - I420UOffset(w, h));
    body.geometry = ChromaGeometry(w, h, p);
    // Bounded blocks over both dimensions: any width, 4K and beyond included.
    const stDim3 block{32, 8, 1};
    const stDim3 grid{DivUp(static_cast<uint32_t>(body.geometry.columns), block.x),
                      DivUp(static_cast<uint32_t>(body.geometry.rows), block.y), 1};
    const GpuError error = FinishLaunch(LaunchKernel(grid, block, nullptr, body));
    if (error != GPU_SUCCESS)
        return error; // the picture keeps its interleaved chroma
    return CopyBack(picture + (repack ? 0 : w * h), buffer.Data(), buffer.Bytes());
}

GpuError Nv12ToBgra32InDvc(const uint8_t *nv12, int32_t srcPitch, uint8_t *bgra, int32_t dstPitch, int32_t width,
                           int32_t height, int32_t colourStandard)
{
    if (!nv12 || !bgra || width < 1 || height < 1 || srcPitch < width ||
        static_cast<int64_t>(dstPitch) < 4 * static_cast<int64_t>(width))
        return GPU_ERROR_INVALID_VALUE;
    YuvToRgbKernel body;
    body.src = nv12;
    body.srcPitch = srcPitch;
    body.dst = bgra;
    body.dstPitch = dstPitch;
    body.width = width;
    body.height = height;
    body.matYuv2Rgb = SelectYuvToRgbMatrix(colourStandard);
    const stDim3 block{32, 2, 1};
    const stDim3 grid{static_cast<uint32_t>((width + 63) / 64), static_cast<uint32_t>((height + 3) / 4), 1};
    const GpuError launched = LaunchKernel(grid, block, nullptr, body);
    const GpuError synced = DevSynchronize();
    if (launched != GPU_SUCCESS || synced != GPU_SUCCESS)
        HandleGPUCriticalError(static_cast<int32_t>(launched != GPU_SUCCESS ? launched : synced), L"");
    return launched != GPU_SUCCESS ? launched : synced;
}

GpuError I420ToBgra32InDvc(const uint8_t *i420, int32_t width, int32_t height, uint8_t *bgra, int32_t dstPitch,
                           int32_t colourStandard)
{
    if (!i420 || !bgra || width < 1 || height < 1 || static_cast<int64_t>(dstPitch) < 4 * static_cast<int64_t>(width))
        return GPU_ERROR_INVALID_VALUE;
    const int64_t chromaWidth = I420ChromaWidth(width);
    const int64_t chromaHeight = I420ChromaHeight(height);
    I420ToRgbKernel body;
    body.luma = i420;
    body.u = i420 + I420UOffset(width, height);
    body.v = i420 + I420VOffset(width, height);
    body.chromaPitch = I420ChromaPitch(width);
    body.dst = bgra;
    body.dstPitch = dstPitch;
    body.width = width;
    body.height = height;
    body.matYuv2Rgb = SelectYuvToRgbMatrix(colourStandard);
    const stDim3 block{32, 2, 1};
    const stDim3 grid{DivUp(static_cast<uint32_t>(chromaWidth), block.x), DivUp(static_cast<uint32_t>(chromaHeight), block.y), 1};
    const GpuError launched = LaunchKernel(grid, block, nullptr, body);
    const GpuError synced = DevSynchronize();
    if (launched != GPU_SUCCESS || synced != GPU_SUCCESS)
        HandleGPUCriticalError(static_cast<int32_t>(launched != GPU_SUCCESS ? launched : synced), L"");
    return launched != GPU_SUCCESS ? launched : synced;
}
