// Decoding pictures with libpng and libjpeg-turbo, and writing PNG with zlib and libdeflate directly. OpenCV's
// codec module is not used: it loads about 140 shared libraries (GDAL and its formats) at every
// start of the tool.
#include "platform/image/picture_codec.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <exception>
#include <system_error>
#include <thread>
#include <cstring>
#include <fcntl.h>
#include <libdeflate.h>
#include <memory>
#include <png.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace kov {
namespace {

// Pictures whose decoded size exceeds this are refused before anything is decoded: a few hundred
// bytes of header can declare gigabytes of pixels. A cut-out holds the picture about three times
// over (picture, cut-out, PNG rows), so this keeps a run below about 1.5 GB.
constexpr std::uint64_t kMaxPixels = kLargestPicturePixels;

bool acceptableSize(std::int64_t width, std::int64_t height) {
  return width > 0 && height > 0 && static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) <= kMaxPixels;
}

// ---- JPEG

// Adobe CMYK (the common kind) stores inverted ink amounts, so the stored values are already
// "how much light": red = C * K / 255 and so on.
void cmykToBgra(const std::vector<std::uint8_t>& cmyk, BgraImage& image) {
  for (std::size_t i = 0, n = cmyk.size() / 4; i < n; ++i) {
    const std::uint8_t* in = &cmyk[i * 4];
    std::uint8_t* out = &image.pixels[i * 4];
    out[0] = static_cast<std::uint8_t>((in[2] * in[3] + 127) / 255);
    out[1] = static_cast<std::uint8_t>((in[1] * in[3] + 127) / 255);
    out[2] = static_cast<std::uint8_t>((in[0] * in[3] + 127) / 255);
    out[3] = 255;
  }
}

// True when the markers after the start of the image reach a start-of-scan with data after it.
// Without one there is nothing to decode, and the decoder would hand back a blank picture of the
// declared size.
bool reachesAScan(const std::vector<std::uint8_t>& bytes) {
  std::size_t at = 2;  // after the start-of-image marker
  while (at + 4 <= bytes.size()) {
    if (bytes[at] != 0xff) return false;
    std::uint8_t marker = bytes[at + 1];
    if (marker == 0xff) {  // fill byte
      ++at;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7)) {  // markers without a length
      at += 2;
      continue;
    }
    if (marker == 0xd9) return false;  // end of image
    std::size_t length = (std::size_t{bytes[at + 2]} << 8) | bytes[at + 3];
    if (length < 2) return false;
    if (marker == 0xda) return at + 2 + length < bytes.size();
    at += 2 + length;
  }
  return false;
}

std::optional<BgraImage> decodeJpegFile(const std::vector<std::uint8_t>& bytes) {
  if (!reachesAScan(bytes)) return std::nullopt;
  tjhandle handle = tjInitDecompress();
  if (!handle) return std::nullopt;
  std::optional<BgraImage> result;
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  auto* data = const_cast<unsigned char*>(bytes.data());
  auto size = static_cast<unsigned long>(bytes.size());
  // A warning (such as data ending early) still leaves a picture, as other viewers show it.
  auto decoded = [&](int status) { return status == 0 || tjGetErrorCode(handle) == TJERR_WARNING; };
  if (tjDecompressHeader3(handle, data, size, &width, &height, &subsampling, &colorspace) == 0 &&
      acceptableSize(width, height)) {
    BgraImage image = blankBgraImage(width, height);
    if (colorspace == TJCS_CMYK || colorspace == TJCS_YCCK) {
      std::vector<std::uint8_t> cmyk(image.pixels.size());
      if (decoded(tjDecompress2(handle, data, size, cmyk.data(), width, 0, height, TJPF_CMYK, 0))) {
        cmykToBgra(cmyk, image);
        result = std::move(image);
      }
    } else if (decoded(tjDecompress2(handle, data, size, image.pixels.data(), width, 0, height, TJPF_BGRA, 0))) {
      result = std::move(image);
    }
  }
  tjDestroy(handle);
  return result;
}

// ---- PNG

struct ReadSource {
  const std::vector<std::uint8_t>* bytes;
  std::size_t position;
};

void readFromMemory(png_structp png, png_bytep out, png_size_t length) {
  auto* source = static_cast<ReadSource*>(png_get_io_ptr(png));
  if (length > source->bytes->size() - source->position) png_error(png, "truncated");
  std::memcpy(out, source->bytes->data() + source->position, length);
  source->position += length;
}

void silentWarning(png_structp, png_const_charp) {}

void jumpOnError(png_structp png, png_const_charp) { png_longjmp(png, 1); }

// Every stored form to 8-bit BGRA: 16 bits scaled, palettes and grey expanded, transparency kept,
// missing alpha opaque. No gamma or colour conversion: the samples are used as stored.
void requestBgra(png_structp png, png_infop info) {
  int colorType = png_get_color_type(png, info);
  int bitDepth = png_get_bit_depth(png, info);
  bool hasTransparency = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
  if (bitDepth == 16) png_set_scale_16(png);
  if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colorType == PNG_COLOR_TYPE_GRAY && bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (hasTransparency) png_set_tRNS_to_alpha(png);
  if (colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
  png_set_bgr(png);
  if (!(colorType & PNG_COLOR_MASK_ALPHA) && !hasTransparency) png_set_filler(png, 0xff, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
}

std::optional<BgraImage> decodePngFile(const std::vector<std::uint8_t>& bytes) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, jumpOnError, silentWarning);
  if (!png) return std::nullopt;
  png_infop info = png_create_info_struct(png);
  ReadSource source{&bytes, 0};
  BgraImage image;
  std::vector<png_bytep> rows;
  volatile bool complete = false;  // set after the last call that may jump back
  if (info && setjmp(png_jmpbuf(png)) == 0) {
    png_set_read_fn(png, &source, readFromMemory);
    png_set_user_limits(png, 1 << 20, 1 << 20);
    png_read_info(png, info);
    png_uint_32 width = png_get_image_width(png, info), height = png_get_image_height(png, info);
    if (acceptableSize(width, height)) {
      requestBgra(png, info);
      if (png_get_rowbytes(png, info) == static_cast<png_size_t>(width) * 4) {
        image = blankBgraImage(static_cast<int>(width), static_cast<int>(height));
        rows.resize(height);
        for (png_uint_32 y = 0; y < height; ++y) rows[y] = image.pixels.data() + static_cast<std::size_t>(y) * width * 4;
        png_read_image(png, rows.data());
        complete = true;
      }
    }
  }
  png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
  if (!complete) return std::nullopt;
  return image;
}

void appendBigEndian(std::string& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xff);
}

void appendChunk(std::string& png, const char* type, std::string_view data) {
  appendBigEndian(png, static_cast<std::uint32_t>(data.size()));
  std::size_t typeAt = png.size();
  png.append(type, 4);
  png += data;
  appendBigEndian(png, libdeflate_crc32(0, png.data() + typeAt, 4 + data.size()));
}

// The image data is one zlib stream, compressed in two parts at once on the two cores a run has: the
// leading rows by zlib, whose output may end without closing the stream (a sync flush), the closing
// rows by libdeflate, which only makes whole streams but at its fastest level takes about half of
// zlib's time (zlib's fastest level, default strategy) and gives a tenth less data. Pictures under 1 MB
// are compressed whole by libdeflate.
constexpr int kDeflateLevel = 1;
constexpr std::size_t kSplitAbove = std::size_t{1} << 20;
// zlib's share of the work, with which both parts took about as long on the sample photos' cut-outs;
// a row's work is its non-zero filtered bytes and a little for the row itself.
constexpr std::uint64_t kLeadingShareInPercent = 31;
constexpr std::uint64_t kZeroRowCost = 64;
constexpr std::size_t kChunkLimit = std::size_t{1} << 24;

// Rows [begin, end) as PNG scanlines with the "up" filter (each byte minus the one above; the first
// row has nothing above). Photos and cut-outs compress best this way of the single filters.
// Also counts each row's filtered bytes that are not zero, a measure of the work of compressing it
// (zeros, such as a cut-out's cleared background and flat areas, cost next to nothing).
void filterRows(int width, int begin, int end, const PngRowSource& rowOf, std::uint8_t* raw, std::uint32_t* busy) {
  const std::size_t pixelBytes = static_cast<std::size_t>(width) * 4;
  std::vector<std::uint8_t> above(pixelBytes, 0), current(pixelBytes);
  if (begin > 0) rowOf(begin - 1, above.data());
  for (int y = begin; y < end; ++y) {
    rowOf(y, current.data());
    std::uint8_t* __restrict out = raw + static_cast<std::size_t>(y) * (pixelBytes + 1);
    const std::uint8_t* __restrict now = current.data();
    const std::uint8_t* __restrict up = above.data();
    out[0] = 2;
    std::uint32_t nonZero = 0;
    for (std::size_t i = 0; i < pixelBytes; ++i) {
      const std::uint8_t difference = static_cast<std::uint8_t>(now[i] - up[i]);
      out[1 + i] = difference;
      nonZero += difference != 0;
    }
    busy[y] = nonZero;
    std::swap(above, current);
  }
}

// Runs `work` on a helper thread while `own` runs on this one. A failure on the helper (memory running
// out) is handed back to this thread, and this thread's own failure waits for the helper before it
// leaves; without a helper thread (an address-space limit) the two run in turn.
void bothAtOnce(const std::function<void()>& work, const std::function<void()>& own) {
  std::exception_ptr helperFailure;
  std::thread helper;
  try {
    helper = std::thread([&] {
      try {
        work();
      } catch (...) {
        helperFailure = std::current_exception();
      }
    });
  } catch (const std::system_error&) {
    work();
  }
  try {
    own();
  } catch (...) {
    if (helper.joinable()) helper.join();
    throw;
  }
  if (helper.joinable()) helper.join();
  if (helperFailure) std::rethrow_exception(helperFailure);
}

// Filtered rows deflated (raw deflate, no zlib wrapper), with the Adler-32 of their filtered bytes.
struct DeflatedRows {
  bool ok = false;
  std::vector<std::uint8_t> bytes;
  std::uint32_t adler = 1;
  std::size_t rawLength = 0;
};

DeflatedRows deflateLeadingRows(const std::uint8_t* raw, std::size_t length) {
  DeflatedRows part;
  part.rawLength = length;
  part.adler = libdeflate_adler32(1, raw, length);
  z_stream stream{};
  if (deflateInit2(&stream, kDeflateLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return part;
  part.bytes.resize(deflateBound(&stream, static_cast<uLong>(length)) + 64);
  stream.next_in = const_cast<Bytef*>(raw);
  stream.avail_in = static_cast<uInt>(length);
  stream.next_out = part.bytes.data();
  stream.avail_out = static_cast<uInt>(part.bytes.size());
  const int status = deflate(&stream, Z_SYNC_FLUSH);
  part.ok = status == Z_OK && stream.avail_in == 0;
  part.bytes.resize(part.bytes.size() - stream.avail_out);
  deflateEnd(&stream);
  return part;
}

DeflatedRows deflateClosingRows(const std::uint8_t* raw, std::size_t length) {
  DeflatedRows part;
  part.rawLength = length;
  part.adler = libdeflate_adler32(1, raw, length);
  std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> compressor(
      libdeflate_alloc_compressor(kDeflateLevel), libdeflate_free_compressor);
  if (!compressor) return part;
  part.bytes.resize(libdeflate_deflate_compress_bound(compressor.get(), length));
  const std::size_t written = libdeflate_deflate_compress(compressor.get(), raw, length, part.bytes.data(), part.bytes.size());
  part.bytes.resize(written);
  part.ok = written > 0;
  return part;
}

// The zlib stream of the picture's filtered rows; empty on failure. The rows are filtered in two
// halves at once; then the compression is split where the leading part holds the share of the
// non-zero bytes that zlib gets through in the time libdeflate takes for the rest.
std::vector<std::uint8_t> compressedRows(int width, int height, const PngRowSource& rowOf) {
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 4 + 1;
  const std::size_t rawLength = rowBytes * static_cast<std::size_t>(height);
  // Left uninitialised: every byte is written by the filtering, so the 10 MB of a large picture are
  // not cleared first.
  std::unique_ptr<std::uint8_t[]> raw(new std::uint8_t[rawLength]);
  std::vector<std::uint32_t> busy(static_cast<std::size_t>(height));
  const bool twoParts = rawLength > kSplitAbove && height > 1;
  if (twoParts)
    bothAtOnce([&] { filterRows(width, height / 2, height, rowOf, raw.get(), busy.data()); },
               [&] { filterRows(width, 0, height / 2, rowOf, raw.get(), busy.data()); });
  else
    filterRows(width, 0, height, rowOf, raw.get(), busy.data());

  int split = 0;
  if (twoParts) {
    std::uint64_t total = 0;
    for (std::uint32_t count : busy) total += count + kZeroRowCost;
    const std::uint64_t leadingWork = total * kLeadingShareInPercent / 100;
    for (std::uint64_t sum = 0; split < height - 1 && sum + busy[static_cast<std::size_t>(split)] + kZeroRowCost <= leadingWork; ++split)
      sum += busy[static_cast<std::size_t>(split)] + kZeroRowCost;
  }
  const std::size_t splitAt = rowBytes * static_cast<std::size_t>(split);

  DeflatedRows leading, closing;
  leading.ok = true;
  auto makeClosing = [&] { closing = deflateClosingRows(raw.get() + splitAt, rawLength - splitAt); };
  if (split > 0)
    bothAtOnce([&] { leading = deflateLeadingRows(raw.get(), splitAt); }, makeClosing);
  else
    makeClosing();
  if (!leading.ok || !closing.ok) return {};

  std::vector<std::uint8_t> stream = {0x78, 0x01};  // zlib header: deflate, 32 KB window, fastest level
  stream.reserve(2 + leading.bytes.size() + closing.bytes.size() + 4);
  stream.insert(stream.end(), leading.bytes.begin(), leading.bytes.end());
  stream.insert(stream.end(), closing.bytes.begin(), closing.bytes.end());
  const std::uint32_t adler =
      split > 0 ? static_cast<std::uint32_t>(adler32_combine(leading.adler, closing.adler, static_cast<z_off_t>(closing.rawLength)))
                : closing.adler;
  for (int shift = 24; shift >= 0; shift -= 8) stream.push_back(static_cast<std::uint8_t>((adler >> shift) & 0xff));
  return stream;
}

std::uint32_t bigEndian32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

bool startsWith(const std::vector<std::uint8_t>& bytes, std::initializer_list<std::uint8_t> prefix) {
  return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

// The whole content of a regular file; none for folders, devices, FIFOs and unreadable files. The
// file is opened without waiting (opening a FIFO would otherwise wait for a writer forever) and
// read only once it is known to be a regular file.
std::optional<std::vector<std::uint8_t>> readRegularFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  std::optional<std::vector<std::uint8_t>> result;
  struct stat info;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(info.st_size));
    std::size_t filled = 0;
    for (;;) {
      if (filled == bytes.size()) bytes.resize(bytes.size() + 65536);  // the file may have grown
      ssize_t n = ::read(fd, bytes.data() + filled, bytes.size() - filled);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n == 0) {
          bytes.resize(filled);
          result = std::move(bytes);
        }
        break;
      }
      filled += static_cast<std::size_t>(n);
    }
  }
  ::close(fd);
  return result;
}

}  // namespace

std::optional<BgraImage> readPicture(const std::string& path) {
  std::optional<std::vector<std::uint8_t>> contents = readRegularFile(path);
  if (!contents) return std::nullopt;
  const std::vector<std::uint8_t>& bytes = *contents;
  if (startsWith(bytes, {0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a})) return decodePngFile(bytes);
  if (startsWith(bytes, {0xff, 0xd8, 0xff})) return decodeJpegFile(bytes);
  return std::nullopt;
}

std::string encodePng(const BgraView& picture) {
  if (!picture.data || picture.width < 1 || picture.height < 1) return {};
  return encodePng(picture.width, picture.height, [&picture](int y, std::uint8_t* rgba) {
    const std::uint8_t* bgra = picture.data + static_cast<std::ptrdiff_t>(y) * picture.stride;
    for (int x = 0; x < picture.width; ++x, bgra += 4, rgba += 4) {
      rgba[0] = bgra[2];
      rgba[1] = bgra[1];
      rgba[2] = bgra[0];
      rgba[3] = bgra[3];
    }
  });
}

std::string encodePng(int width, int height, const PngRowSource& rowOf) {
  if (width < 1 || height < 1 || static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > kMaxPixels)
    return {};
  const std::vector<std::uint8_t> idat = compressedRows(width, height, rowOf);
  if (idat.empty()) return {};
  const std::size_t idatLength = idat.size();

  std::string png = "\x89PNG\r\n\x1a\n";
  png.reserve(png.size() + idatLength + 128 + 12 * (idatLength / kChunkLimit));
  std::string header;
  appendBigEndian(header, static_cast<std::uint32_t>(width));
  appendBigEndian(header, static_cast<std::uint32_t>(height));
  header += std::string{8, 6, 0, 0, 0};  // 8 bits, RGBA, deflate, adaptive filters, no interlace
  appendChunk(png, "IHDR", header);
  appendChunk(png, "sRGB", std::string(1, '\0'));  // perceptual rendering intent
  for (std::size_t at = 0; at < idatLength; at += kChunkLimit)
    appendChunk(png, "IDAT", std::string_view(reinterpret_cast<const char*>(idat.data()) + at,
                                              std::min(kChunkLimit, idatLength - at)));
  appendChunk(png, "IEND", "");
  return png;
}

std::optional<PixelSize> pngSize(std::string_view bytes) {
  static constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (bytes.size() < 24 || std::memcmp(bytes.data(), kSignature, 8) != 0) return std::nullopt;
  const auto* header = reinterpret_cast<const unsigned char*>(bytes.data());
  if (std::memcmp(header + 12, "IHDR", 4) != 0) return std::nullopt;
  std::uint32_t width = bigEndian32(header + 16);
  std::uint32_t height = bigEndian32(header + 20);
  if (width == 0 || height == 0 || width > 0x7fffffff || height > 0x7fffffff) return std::nullopt;
  return PixelSize{static_cast<int>(width), static_cast<int>(height)};
}

bool pngDecodes(std::string_view bytes) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return false;
  image.format = PNG_FORMAT_RGBA;
  std::vector<png_byte> pixels(PNG_IMAGE_SIZE(image));
  bool ok = png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) != 0;
  png_image_free(&image);
  return ok;
}

std::optional<PixelSize> jpegSize(std::string_view bytes) {
  if (bytes.empty()) return std::nullopt;
  std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitDecompress(), tjDestroy);
  if (!handle) return std::nullopt;
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  if (tjDecompressHeader3(handle.get(), data, static_cast<unsigned long>(bytes.size()), &width, &height,
                          &subsampling, &colorspace) != 0)
    return std::nullopt;
  if (width <= 0 || height <= 0) return std::nullopt;
  return PixelSize{width, height};
}

std::optional<std::string> decodePng(std::string_view png, BgraImage& picture) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return std::string(image.message);
  image.format = PNG_FORMAT_BGRA;
  picture.width = static_cast<int>(image.width);
  picture.height = static_cast<int>(image.height);
  picture.pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, picture.pixels.data(), 0, nullptr)) {
    std::string reason = image.message;
    png_image_free(&image);
    return reason;
  }
  return std::nullopt;
}

std::optional<std::string> decodeJpeg(std::string_view jpeg, BgraImage& picture) {
  tjhandle decoder = tjInitDecompress();
  if (!decoder) return std::string("cannot start the JPEG decoder");
  auto* data = reinterpret_cast<const unsigned char*>(jpeg.data());
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  std::optional<std::string> failure;
  if (tjDecompressHeader3(decoder, data, jpeg.size(), &width, &height, &subsampling, &colorspace) != 0) {
    failure = tjGetErrorStr2(decoder);
  } else {
    picture.width = width;
    picture.height = height;
    picture.pixels.resize(static_cast<size_t>(width) * height * 4);
    if (tjDecompress2(decoder, data, jpeg.size(), picture.pixels.data(), width, width * 4, height, TJPF_BGRA, 0) != 0)
      failure = tjGetErrorStr2(decoder);
  }
  tjDestroy(decoder);
  return failure;
}

}  // namespace kov
