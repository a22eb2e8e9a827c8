// FFmpeg-backed video source: demux the first video track, decode a range with frame threads, and
// scale each frame of the range straight to the requested size and layout with libswscale.
#include "platform/media/video_reader.h"

#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <string_view>

#include "numeric/number_text.h"
#include "platform/media/ffmpeg_common.h"
#include "platform/media/read_ahead.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace kov {
namespace {

// Demuxers that present a single still picture as a one-frame video; such files are pictures,
// not videos.
bool isStillPictureFormat(const AVInputFormat* format) {
  std::string_view name = format->name;
  return name == "image2" || (name.size() > 5 && name.substr(name.size() - 5) == "_pipe");
}

int findVideoStream(AVFormatContext* format) {
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVStream* stream = format->streams[i];
    if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    if (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) continue;  // cover art of audio files
    return static_cast<int>(i);
  }
  return -1;
}

AVPixelFormat outputFormat(PixelLayout layout) {
  return layout == PixelLayout::Nv12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_BGRA;
}

// An opened file and its first video track.
class FfmpegInput {
 public:
  ~FfmpegInput() { avformat_close_input(&format_); }

  // The file's demuxer, or null when it is no video: unreadable, a still picture, or without a
  // video track.
  static std::unique_ptr<FfmpegInput> open(const std::string& path) {
    auto input = std::unique_ptr<FfmpegInput>(new FfmpegInput);
    if (avformat_open_input(&input->format_, path.c_str(), nullptr, nullptr) < 0) return nullptr;
    if (isStillPictureFormat(input->format_->iformat)) return nullptr;
    if (avformat_find_stream_info(input->format_, nullptr) < 0) return nullptr;
    input->streamIndex_ = findVideoStream(input->format_);
    if (input->streamIndex_ < 0) return nullptr;
    if (input->format_->start_time != AV_NOPTS_VALUE)
      input->originSeconds_ = static_cast<double>(input->format_->start_time) / AV_TIME_BASE;
    return input;
  }

  AVFormatContext* format() const { return format_; }
  AVStream* stream() const { return format_->streams[streamIndex_]; }
  int streamIndex() const { return streamIndex_; }
  // Container time of the file's first moment; frame times count from it.
  double originSeconds() const { return originSeconds_; }

  // Seconds of `ts` in the track's time base, counted from the file's first moment.
  double secondsOf(int64_t ts) const { return static_cast<double>(ts) * av_q2d(stream()->time_base) - originSeconds_; }

 private:
  FfmpegInput() = default;

  AVFormatContext* format_ = nullptr;
  int streamIndex_ = -1;
  double originSeconds_ = 0;
};

// How the track's packets are timed, found by reading them all when the file does not say how
// long the track is.
struct PacketScan {
  std::optional<double> end;  // seconds, absent without any video packet
  bool timed = true;          // false when no packet carries a time stamp (raw streams)
};

PacketScan scanPackets(FfmpegInput& input, double frameRate) {
  PacketScan scan;
  AVPacket* packet = av_packet_alloc();
  if (!packet) return scan;
  long untimed = 0, packets = 0;
  std::optional<double> timedEnd;
  while (av_read_frame(input.format(), packet) >= 0) {
    if (packet->stream_index == input.streamIndex()) {
      ++packets;
      int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
      if (ts == AV_NOPTS_VALUE) {
        ++untimed;
      } else {
        double packetEnd = input.secondsOf(ts + std::max<int64_t>(packet->duration, 0));
        timedEnd = std::max(timedEnd.value_or(packetEnd), packetEnd);
      }
    }
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  if (packets > 0 && untimed == packets) {
    scan.timed = false;
    if (frameRate > 0) scan.end = static_cast<double>(packets) / frameRate;
  } else {
    scan.end = timedEnd;
  }
  return scan;
}

// Frame threads of the decoder. Each holds a picture of its own besides the reference pictures; at
// 1080p a third thread (FFmpeg's choice on two cores) costs about 6 MB more and decodes no faster
// while the rest of the program keeps the cores busy.
constexpr int kDecodeThreads = 2;

// Decodes one range of an input it owns.
class FfmpegRangeReader : public VideoReader {
 public:
  // `timed` is false for a stream without time stamps: its frames are then timed by their count
  // at the nominal rate, and it is decoded from its beginning rather than seeked.
  FfmpegRangeReader(std::unique_ptr<FfmpegInput> input, const VideoInfo& info, bool timed)
      : input_(std::move(input)), info_(info), timed_(timed) {}

  ~FfmpegRangeReader() override {
    sws_freeContext(scaler_);
    av_frame_free(&decoded_);
    av_frame_free(&scaled_);
    av_packet_free(&packet_);
    avcodec_free_context(&codec_);
  }

  // Sets up and opens the decoder for the range and seeks to it.
  std::optional<RangeStartError> start(const RangeSettings& settings) {
    if (!createDecoder() || settings.width <= 0 || settings.height <= 0)
      return RangeStartError{RangeStartError::Kind::NoDecoder, {}};
    int status = avcodec_open2(codec_, codec_->codec, nullptr);
    if (status < 0) return RangeStartError{RangeStartError::Kind::DecoderRefused, ffmpegErrorText(status)};
    start_ = settings.start;
    end_ = settings.end;
    layout_ = settings.layout;
    scaled_->format = outputFormat(settings.layout);
    scaled_->width = settings.width;
    scaled_->height = settings.height;
    status = av_frame_get_buffer(scaled_, 64);
    if (status < 0) return RangeStartError{RangeStartError::Kind::DecoderRefused, ffmpegErrorText(status)};
    seekBefore(settings.start);
    capture_.begin();
    return std::nullopt;
  }

  const DecodedFrame* nextFrame() override {
    if (finished_) return nullptr;
    while (true) {
      int status = avcodec_receive_frame(codec_, decoded_);
      if (status == 0) {
        const DecodedFrame* frame = takeDecodedFrame();
        if (frame || finished_) return frame;
        continue;
      }
      if (status == AVERROR_EOF) return endOfStream();
      if (status != AVERROR(EAGAIN)) return stopWithFailure(ffmpegErrorText(status));
      if (!feedDecoder()) return nullptr;
    }
  }

  std::optional<std::string> failure() const override { return failure_; }

 private:
  bool createDecoder() {
    const AVCodecParameters* params = stream()->codecpar;
    const AVCodec* decoder = avcodec_find_decoder(params->codec_id);
    if (!decoder) return false;
    codec_ = avcodec_alloc_context3(decoder);
    if (!codec_ || avcodec_parameters_to_context(codec_, params) < 0) return false;
    codec_->thread_count = kDecodeThreads;
    codec_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    codec_->pkt_timebase = stream()->time_base;
    decoded_ = av_frame_alloc();
    scaled_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    return decoded_ && scaled_ && packet_;
  }

  AVFormatContext* format() const { return input_->format(); }
  AVStream* stream() const { return input_->stream(); }

  // Seeks to the key frame at or before `start`; a failed seek just decodes from the beginning.
  void seekBefore(double start) {
    if (start <= 0 || !timed_) return;
    double seconds = start + input_->originSeconds();
    int64_t target = static_cast<int64_t>(std::floor(seconds / av_q2d(stream()->time_base)));
    if (av_seek_frame(format(), input_->streamIndex(), target, AVSEEK_FLAG_BACKWARD) >= 0)
      avcodec_flush_buffers(codec_);
  }

  double frameSeconds(const AVFrame* frame) {
    if (!timed_) return info_.frameRate > 0 ? static_cast<double>(untimedFrames_++) / info_.frameRate : 0;
    int64_t pts = frame->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE) pts = frame->pts;
    if (pts == AV_NOPTS_VALUE) return lastTime_;
    return input_->secondsOf(pts);
  }

  // Reads packets until one of the video stream has been sent to the decoder, or the input ends
  // (then the decoder is told to drain). Returns false after a failure.
  bool feedDecoder() {
    while (true) {
      int status = av_read_frame(format(), packet_);
      if (status == AVERROR_EOF) {
        demuxerEnded_ = true;
        avcodec_send_packet(codec_, nullptr);
        return true;
      }
      if (status < 0) {
        stopWithFailure(ffmpegErrorText(status));
        return false;
      }
      if (packet_->stream_index != input_->streamIndex()) {
        av_packet_unref(packet_);
        continue;
      }
      bool corrupt = (packet_->flags & AV_PKT_FLAG_CORRUPT) != 0;
      double packetTime = packetSeconds();
      lastPacketTime_ = std::max(lastPacketTime_, packetTime);
      status = avcodec_send_packet(codec_, packet_);
      av_packet_unref(packet_);
      if (corrupt && packetTime >= start_) {
        stopWithFailure("damaged video data at " + secondsText(packetTime));
        return false;
      }
      if (status < 0 && status != AVERROR(EAGAIN) && status != AVERROR_INVALIDDATA) {
        stopWithFailure(ffmpegErrorText(status));
        return false;
      }
      if (status == AVERROR_INVALIDDATA && packetTime >= start_) {
        stopWithFailure(ffmpegErrorText(status));
        return false;
      }
      return true;
    }
  }

  double packetSeconds() const {
    int64_t ts = packet_->pts != AV_NOPTS_VALUE ? packet_->pts : packet_->dts;
    if (ts == AV_NOPTS_VALUE) return lastPacketTime_;
    return input_->secondsOf(ts);
  }

  // Handles one frame from the decoder: skips it before the range, ends the range at or after
  // `end_`, otherwise converts it. Returns the frame to deliver, or null to keep decoding.
  const DecodedFrame* takeDecodedFrame() {
    double time = frameSeconds(decoded_);
    if (time < start_) {
      av_frame_unref(decoded_);
      return nullptr;
    }
    if (time >= end_) {
      av_frame_unref(decoded_);
      finished_ = true;
      return nullptr;
    }
    if (auto problem = damageOf(decoded_, time)) {
      av_frame_unref(decoded_);
      return stopWithFailure(*problem);
    }
    if (!convert()) {
      av_frame_unref(decoded_);
      return stopWithFailure("cannot convert the decoded picture");
    }
    av_frame_unref(decoded_);
    delivered_ = true;
    lastTime_ = time;
    fillFrame(time);
    return &frame_;
  }

  std::optional<std::string> damageOf(const AVFrame* frame, double time) {
    if (auto logged = capture_.takeError(); logged && delivered_) return *logged;
    if ((frame->flags & AV_FRAME_FLAG_CORRUPT) || frame->decode_error_flags != 0)
      return "damaged video data at " + secondsText(time);
    return std::nullopt;
  }

  bool convert() {
    scaler_ = sws_getCachedContext(scaler_, decoded_->width, decoded_->height,
                                   static_cast<AVPixelFormat>(decoded_->format), scaled_->width,
                                   scaled_->height, static_cast<AVPixelFormat>(scaled_->format),
                                   SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!scaler_) return false;
    matchColourSpace();
    if (av_frame_make_writable(scaled_) < 0) return false;
    int rows = sws_scale(scaler_, decoded_->data, decoded_->linesize, 0, decoded_->height,
                         scaled_->data, scaled_->linesize);
    return rows > 0;
  }

  // HD sources are BT.709; letting libswscale assume BT.601 would shift colours in BGRA output.
  void matchColourSpace() {
    int* invTable;
    int srcRange, *table, dstRange, brightness, contrast, saturation;
    if (sws_getColorspaceDetails(scaler_, &invTable, &srcRange, &table, &dstRange, &brightness,
                                 &contrast, &saturation) < 0)
      return;
    int space = decoded_->colorspace;
    if (space == AVCOL_SPC_UNSPECIFIED) space = decoded_->height >= 720 ? AVCOL_SPC_BT709 : AVCOL_SPC_BT470BG;
    const int* coefficients = sws_getCoefficients(space);
    srcRange = decoded_->color_range == AVCOL_RANGE_JPEG ? 1 : srcRange;
    sws_setColorspaceDetails(scaler_, coefficients, srcRange, coefficients, dstRange, brightness,
                             contrast, saturation);
  }

  void fillFrame(double time) {
    frame_.time = time;
    frame_.layout = layout_;
    frame_.width = scaled_->width;
    frame_.height = scaled_->height;
    frame_.planes[0] = scaled_->data[0];
    frame_.planes[1] = layout_ == PixelLayout::Nv12 ? scaled_->data[1] : nullptr;
    frame_.strides[0] = scaled_->linesize[0];
    frame_.strides[1] = layout_ == PixelLayout::Nv12 ? scaled_->linesize[1] : 0;
  }

  // The decoder has drained. A stream whose frames stop well short of where its own index says
  // it ends was cut short or damaged, even when the demuxer reported nothing.
  const DecodedFrame* endOfStream() {
    finished_ = true;
    if (auto logged = capture_.takeError(); logged && delivered_) return stopWithFailure(*logged);
    double expectedEnd = std::min(end_, streamEndSeconds());
    double frameGap = info_.frameRate > 0 ? 1.0 / info_.frameRate : 0.1;
    double reached = delivered_ ? lastTime_ + frameGap : start_;
    if (demuxerEnded_ && std::isfinite(expectedEnd) && reached + std::max(0.5, 3 * frameGap) < expectedEnd)
      return stopWithFailure("the video data ends at " + secondsText(reached) + ", before " +
                             secondsText(expectedEnd));
    return nullptr;
  }

  double streamEndSeconds() const {
    const AVStream* s = stream();
    if (s->duration == AV_NOPTS_VALUE || s->duration <= 0) return INFINITY;
    double begin = s->start_time != AV_NOPTS_VALUE ? static_cast<double>(s->start_time) * av_q2d(s->time_base) : 0;
    return begin + static_cast<double>(s->duration) * av_q2d(s->time_base) - input_->originSeconds();
  }

  const DecodedFrame* stopWithFailure(const std::string& reason) {
    finished_ = true;
    if (!failure_) failure_ = reason;
    return nullptr;
  }

  std::unique_ptr<FfmpegInput> input_;
  const VideoInfo info_;
  const bool timed_;
  AVCodecContext* codec_ = nullptr;
  SwsContext* scaler_ = nullptr;
  AVFrame* decoded_ = nullptr;
  AVFrame* scaled_ = nullptr;
  AVPacket* packet_ = nullptr;

  double start_ = 0;
  double end_ = 0;
  PixelLayout layout_ = PixelLayout::Nv12;
  DecodedFrame frame_;
  double lastTime_ = 0;
  long untimedFrames_ = 0;
  double lastPacketTime_ = -INFINITY;
  bool delivered_ = false;
  bool demuxerEnded_ = false;
  bool finished_ = false;
  std::optional<std::string> failure_;
  FfmpegErrorCapture capture_;
};

// Keeps the opened input for the first range; a later range opens the file again.
class FfmpegVideoSource : public VideoSource {
 public:
  explicit FfmpegVideoSource(const std::string& path) : path_(path) {
    if (!isRegularFile(path)) return;
    input_ = FfmpegInput::open(path);
    if (!input_) return;
    describe(*input_);
    if (!info_.duration) {
      PacketScan scan = scanPackets(*input_, info_.frameRate);
      info_.duration = scan.end;
      timed_ = scan.timed;
      input_.reset();  // read to its end
    }
  }

  const VideoInfo& info() const override { return info_; }

  RangeStart readRange(const RangeSettings& settings) override {
    if (!info_.hasTrack) return RangeStartError{RangeStartError::Kind::NoDecoder, {}};
    std::unique_ptr<FfmpegInput> input = input_ ? std::move(input_) : FfmpegInput::open(path_);
    if (!input) return RangeStartError{RangeStartError::Kind::NoDecoder, {}};
    auto reader = std::make_unique<FfmpegRangeReader>(std::move(input), info_, timed_);
    if (auto error = reader->start(settings)) return *error;
    return readAhead(std::move(reader), kFramesAhead);
  }

 private:
  static constexpr int kFramesAhead = 4;

  // Anything else (a FIFO or a device) could block on opening or reading, or never end.
  static bool isRegularFile(const std::string& path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
  }

  void describe(const FfmpegInput& input) {
    const AVStream* s = input.stream();
    const AVFormatContext* format = input.format();
    info_.hasTrack = true;
    info_.naturalWidth = s->codecpar->width;
    info_.naturalHeight = s->codecpar->height;
    if (s->avg_frame_rate.num > 0 && s->avg_frame_rate.den > 0) {
      info_.frameRate = static_cast<float>(av_q2d(s->avg_frame_rate));
      info_.frameRateNum = s->avg_frame_rate.num;
      info_.frameRateDen = s->avg_frame_rate.den;
    }
    if (format->duration != AV_NOPTS_VALUE && format->duration > 0)
      info_.duration = static_cast<double>(format->duration) / AV_TIME_BASE;
    else if (s->duration != AV_NOPTS_VALUE && s->duration > 0)
      info_.duration = static_cast<double>(s->duration) * av_q2d(s->time_base);
  }

  const std::string path_;
  std::unique_ptr<FfmpegInput> input_;
  VideoInfo info_;
  bool timed_ = true;
};

}  // namespace

std::unique_ptr<VideoSource> openVideoSource(const std::string& path) {
  silenceFfmpegLog();
  return std::make_unique<FfmpegVideoSource>(path);
}

}  // namespace kov
