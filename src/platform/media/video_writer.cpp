// FFmpeg-backed movie writer: BGRA pictures converted by libswscale, encoded with libx264 (MP4)
// or prores_ks 4444 with alpha (QuickTime), muxed with libavformat.
#include "platform/media/video_writer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "platform/media/ffmpeg_common.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace kov {
namespace {

struct CodecChoice {
  const char* container;
  const char* encoder;
  AVPixelFormat pixelFormat;
};

CodecChoice codecChoice(MovieCodec codec) {
  if (codec == MovieCodec::ProRes4444) return {"mov", "prores_ks", AV_PIX_FMT_YUVA444P10LE};
  return {"mp4", "libx264", AV_PIX_FMT_YUV420P};
}

class FfmpegMovieWriter : public MovieWriter {
 public:
  ~FfmpegMovieWriter() override {
    sws_freeContext(scaler_);
    av_frame_free(&picture_);
    av_packet_free(&packet_);
    avcodec_free_context(&codec_);
    if (format_) {
      if (format_->pb) avio_closep(&format_->pb);
      avformat_free_context(format_);
    }
  }

  // Builds the container and encoder; returns the reason when they cannot be made.
  std::optional<std::string> create(const MovieSettings& settings) {
    settings_ = settings;
    CodecChoice choice = codecChoice(settings.codec);
    int status = avformat_alloc_output_context2(&format_, nullptr, choice.container, settings.path.c_str());
    if (status < 0 || !format_) return ffmpegErrorText(status);
    const AVCodec* encoder = avcodec_find_encoder_by_name(choice.encoder);
    if (!encoder) return std::string("the ") + choice.encoder + " encoder is not available";
    stream_ = avformat_new_stream(format_, nullptr);
    codec_ = avcodec_alloc_context3(encoder);
    picture_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!stream_ || !codec_ || !picture_ || !packet_) return ffmpegErrorText(AVERROR(ENOMEM));
    configureEncoder(choice);
    if (format_->oformat->flags & AVFMT_GLOBALHEADER) codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    status = avcodec_open2(codec_, encoder, nullptr);
    if (status < 0) return ffmpegErrorText(status);
    status = avcodec_parameters_from_context(stream_->codecpar, codec_);
    if (status < 0) return ffmpegErrorText(status);
    stream_->time_base = codec_->time_base;
    stream_->avg_frame_rate = codec_->framerate;
    return preparePicture(choice.pixelFormat);
  }

  // Opens the file and writes the header; returns the reason when writing cannot start.
  std::optional<std::string> start() {
    int status = avio_open(&format_->pb, settings_.path.c_str(), AVIO_FLAG_WRITE);
    if (status < 0) return ffmpegErrorText(status);
    status = avformat_write_header(format_, nullptr);
    if (status < 0) return ffmpegErrorText(status);
    return std::nullopt;
  }

  std::optional<std::string> append(const BgraView& bgra, std::int64_t pts) override {
    if (bgra.width != settings_.width || bgra.height != settings_.height)
      return std::string("picture size does not match the movie");
    int status = av_frame_make_writable(picture_);
    if (status < 0) return ffmpegErrorText(status);
    const std::uint8_t* source[4] = {bgra.data, nullptr, nullptr, nullptr};
    int sourceStride[4] = {static_cast<int>(bgra.stride), 0, 0, 0};
    sws_scale(scaler_, source, sourceStride, 0, bgra.height, picture_->data, picture_->linesize);
    picture_->pts = pts;
    status = avcodec_send_frame(codec_, picture_);
    if (status < 0) return ffmpegErrorText(status);
    return writePackets();
  }

  // The planes of a grey frame are filled through a table of what the conversion above makes of
  // each grey level, so they are those `append` gives for the same grey picture.
  std::optional<std::string> appendGrey(const GreyView& grey, std::int64_t pts) override {
    if (grey.width != settings_.width || grey.height != settings_.height)
      return std::string("picture size does not match the movie");
    if (!greyLevels_) return std::string("grey pictures are not supported for this codec");
    int status = av_frame_make_writable(picture_);
    if (status < 0) return ffmpegErrorText(status);
    const GreyLevels& levels = *greyLevels_;
    const int width = grey.width;  // read once: the byte stores could otherwise change it as far as the compiler knows
    for (int y = 0; y < grey.height; ++y) {
      const std::uint8_t* __restrict in = grey.data + static_cast<std::ptrdiff_t>(y) * grey.stride;
      std::uint8_t* __restrict out = picture_->data[0] + static_cast<std::ptrdiff_t>(y) * picture_->linesize[0];
      if (levels.straightLine) {
        const std::uint32_t slope = levels.slope, intercept = levels.intercept;
        for (int x = 0; x < width; ++x) out[x] = static_cast<std::uint8_t>((in[x] * slope + intercept) >> 16);
      } else {
        for (int x = 0; x < width; ++x) out[x] = levels.luma[in[x]];
      }
    }
    const int chromaWidth = (grey.width + 1) / 2, chromaHeight = (grey.height + 1) / 2;
    for (int plane = 1; plane <= 2; ++plane)
      for (int y = 0; y < chromaHeight; ++y)
        std::fill_n(picture_->data[plane] + static_cast<std::ptrdiff_t>(y) * picture_->linesize[plane], chromaWidth,
                    plane == 1 ? levels.blueDifference : levels.redDifference);
    picture_->pts = pts;
    status = avcodec_send_frame(codec_, picture_);
    if (status < 0) return ffmpegErrorText(status);
    return writePackets();
  }

  std::optional<std::string> finish() override {
    int status = avcodec_send_frame(codec_, nullptr);
    if (status < 0) return ffmpegErrorText(status);
    if (auto problem = writePackets()) return problem;
    status = av_write_trailer(format_);
    if (status < 0) return ffmpegErrorText(status);
    status = avio_closep(&format_->pb);
    if (status < 0) return ffmpegErrorText(status);
    return std::nullopt;
  }

 private:
  void configureEncoder(const CodecChoice& choice) {
    codec_->width = settings_.width;
    codec_->height = settings_.height;
    codec_->pix_fmt = choice.pixelFormat;
    codec_->time_base = AVRational{settings_.timeBaseNum, settings_.timeBaseDen};
    codec_->framerate = av_d2q(settings_.frameRate > 0 ? settings_.frameRate : 30, 100000);
    codec_->thread_count = 0;  // one per core; prores_ks would otherwise encode on one thread
    codec_->color_range = AVCOL_RANGE_MPEG;
    codec_->colorspace = AVCOL_SPC_BT709;
    codec_->color_primaries = AVCOL_PRI_BT709;
    codec_->color_trc = AVCOL_TRC_BT709;
    if (settings_.codec == MovieCodec::H264) {
      codec_->bit_rate = settings_.bitRate;
      codec_->gop_size = settings_.keyFrameInterval;
      av_opt_set(codec_->priv_data, "profile", "high", 0);
      av_opt_set(codec_->priv_data, "preset", settings_.quickEncoding ? "ultrafast" : "veryfast", 0);
      // The fastest analysis leaves out the 8x8 transform, which alone makes a stream High profile.
      if (settings_.quickEncoding) av_opt_set_int(codec_->priv_data, "8x8dct", 1, 0);
    } else {
      av_opt_set(codec_->priv_data, "profile", "4444", 0);
    }
  }

  std::optional<std::string> preparePicture(AVPixelFormat pixelFormat) {
    picture_->format = pixelFormat;
    picture_->width = settings_.width;
    picture_->height = settings_.height;
    int status = av_frame_get_buffer(picture_, 64);
    if (status < 0) return ffmpegErrorText(status);
    scaler_ = sws_getContext(settings_.width, settings_.height, AV_PIX_FMT_BGRA, settings_.width,
                             settings_.height, pixelFormat, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!scaler_) return std::string("cannot convert pictures for the encoder");
    const int* bt709 = sws_getCoefficients(AVCOL_SPC_BT709);
    sws_setColorspaceDetails(scaler_, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
    if (pixelFormat == AV_PIX_FMT_YUV420P) greyLevels_ = greyLevelsOf(pixelFormat);
    return std::nullopt;
  }

  // What the BGRA conversion makes of each grey level: a ramp of the 256 levels converted once.
  // None when the conversion gives a grey level a colour or takes its neighbours into account (then
  // grey frames are not supported).
  // When the levels lie on a straight line in fixed point, (level * slope + intercept) >> 16, the
  // line is computed rather than looked up: the computation vectorises, a table lookup per byte does
  // not (0.7 ms a 720p frame).
  struct GreyLevels {
    std::uint8_t luma[256];
    std::uint8_t blueDifference = 128, redDifference = 128;
    bool straightLine = false;
    std::uint32_t slope = 0, intercept = 0;
  };

  // For each slope near the levels' mean step, the intercepts that give every level lie between the
  // highest lower bound and the lowest upper bound of the 256 levels; the first slope with room wins.
  static void fitStraightLine(GreyLevels& levels) {
    constexpr std::int64_t kOne = 1 << 16;
    const std::int64_t step = (levels.luma[255] - levels.luma[0]) * kOne / 255;
    for (std::int64_t slope = std::max<std::int64_t>(0, step - 256); slope <= step + 256; ++slope) {
      std::int64_t lowest = 0, highest = std::numeric_limits<std::int64_t>::max();
      for (std::int64_t level = 0; level < 256; ++level) {
        lowest = std::max(lowest, levels.luma[level] * kOne - level * slope);
        highest = std::min(highest, (levels.luma[level] + 1) * kOne - 1 - level * slope);
      }
      if (lowest <= highest) {
        levels.straightLine = true;
        levels.slope = static_cast<std::uint32_t>(slope);
        levels.intercept = static_cast<std::uint32_t>((lowest + highest) / 2);
        return;
      }
    }
  }

  static std::optional<GreyLevels> greyLevelsOf(AVPixelFormat pixelFormat) {
    constexpr int kWidth = 512, kHeight = 2;  // each level twice, so a chroma sample covers one level
    std::vector<std::uint8_t> ramp(static_cast<std::size_t>(kWidth) * kHeight * 4);
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) {
        std::uint8_t* p = &ramp[(static_cast<std::size_t>(y) * kWidth + x) * 4];
        p[0] = p[1] = p[2] = static_cast<std::uint8_t>(x / 2);
        p[3] = 255;
      }
    SwsContext* scaler = sws_getContext(kWidth, kHeight, AV_PIX_FMT_BGRA, kWidth, kHeight, pixelFormat, SWS_BILINEAR,
                                        nullptr, nullptr, nullptr);
    if (!scaler) return std::nullopt;
    const int* bt709 = sws_getCoefficients(AVCOL_SPC_BT709);
    sws_setColorspaceDetails(scaler, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
    std::vector<std::uint8_t> luma(static_cast<std::size_t>(kWidth) * kHeight), blue(kWidth / 2), red(kWidth / 2);
    const std::uint8_t* source[4] = {ramp.data(), nullptr, nullptr, nullptr};
    const int sourceStride[4] = {kWidth * 4, 0, 0, 0};
    std::uint8_t* target[4] = {luma.data(), blue.data(), red.data(), nullptr};
    const int targetStride[4] = {kWidth, kWidth / 2, kWidth / 2, 0};
    const int rows = sws_scale(scaler, source, sourceStride, 0, kHeight, target, targetStride);
    sws_freeContext(scaler);
    if (rows != kHeight) return std::nullopt;
    GreyLevels levels;
    levels.blueDifference = blue[0];
    levels.redDifference = red[0];
    for (int level = 0; level < 256; ++level) {
      const std::uint8_t value = luma[static_cast<std::size_t>(2 * level)];
      if (luma[static_cast<std::size_t>(2 * level + 1)] != value || luma[static_cast<std::size_t>(kWidth + 2 * level)] != value ||
          blue[static_cast<std::size_t>(level)] != levels.blueDifference || red[static_cast<std::size_t>(level)] != levels.redDifference)
        return std::nullopt;
      levels.luma[level] = value;
    }
    fitStraightLine(levels);
    return levels;
  }

  std::optional<std::string> writePackets() {
    while (true) {
      int status = avcodec_receive_packet(codec_, packet_);
      if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return std::nullopt;
      if (status < 0) return ffmpegErrorText(status);
      av_packet_rescale_ts(packet_, codec_->time_base, stream_->time_base);
      packet_->stream_index = stream_->index;
      status = av_interleaved_write_frame(format_, packet_);
      if (status < 0) return ffmpegErrorText(status);
    }
  }

  MovieSettings settings_;
  AVFormatContext* format_ = nullptr;
  AVStream* stream_ = nullptr;
  AVCodecContext* codec_ = nullptr;
  AVFrame* picture_ = nullptr;
  AVPacket* packet_ = nullptr;
  SwsContext* scaler_ = nullptr;
  std::optional<GreyLevels> greyLevels_;
};

}  // namespace

MovieWriterResult createMovieWriter(const MovieSettings& settings) {
  silenceFfmpegLog();
  MovieWriterResult result;
  auto writer = std::make_unique<FfmpegMovieWriter>();
  if (auto reason = writer->create(settings)) {
    result.createFailed = true;
    result.reason = *reason;
    return result;
  }
  if (auto reason = writer->start()) {
    result.reason = *reason;
    return result;
  }
  result.writer = std::move(writer);
  return result;
}

}  // namespace kov
