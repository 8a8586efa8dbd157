// Video decoding on libavformat/libavcodec: the decoder and the BGR
// converter behind ingest/video_reader.hpp.
#include "media/video.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <climits>
#include <cmath>
#include <mutex>
#include <thread>

#include <opencv2/core.hpp>

#include "common/errors.hpp"

namespace mirelo::media {

// The decoder's picture with what converting it needs.
struct Picture {
  AVFrame* frame = nullptr;
  int coded_width = 0, coded_height = 0;  ///< the decoder's coded size
  int rotation = 0;                       ///< display rotation in degrees, clockwise

  ~Picture() { av_frame_free(&frame); }
};

namespace {

constexpr double kEpsZero = 0.000025;

double r2d(AVRational r) { return r.num == 0 || r.den == 0 ? 0.0 : static_cast<double>(r.num) / r.den; }

// Clockwise degrees that turn the picture upright, as players apply the
// display matrix (and OpenCV's capture from 4.7 on; 4.6 turned quarter turns
// the other way, leaving such recordings upside down).
int rotation_of(const AVStream* st) {
  const uint8_t* data = nullptr;
#if LIBAVFORMAT_VERSION_MAJOR >= 61
  const AVPacketSideData* sd = av_packet_side_data_get(st->codecpar->coded_side_data,
                                                       st->codecpar->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
  if (sd != nullptr) data = sd->data;
#else
  data = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
#endif
  if (data == nullptr) return 0;
  const double angle = av_display_rotation_get(reinterpret_cast<const int32_t*>(data));
  if (!std::isfinite(angle)) return 0;
  int r = -static_cast<int>(std::lround(angle));
  if (r < 0) r += 360;
  return r;
}

bool quarter_turn(int rotation) { return rotation == 90 || rotation == 270 || rotation == -90 || rotation == -270; }

class BgrConverter final : public FrameConverter {
 public:
  BgrConverter() = default;
  ~BgrConverter() override { sws_freeContext(sws_); }
  BgrConverter(const BgrConverter&) = delete;
  BgrConverter& operator=(const BgrConverter&) = delete;

  void convert(const DecodedFrame& frame, const cv::Rect& roi, cv::Mat& out);

 protected:
  void do_to_bgr(const DecodedFrame& frame, const cv::Rect& roi, cv::Mat& out, Failure& failure) noexcept override {
    guarded(failure, [&] { convert(frame, roi, out); });
  }

 private:
  SwsContext* sws_ = nullptr;
  cv::Mat buffer_;
};

void BgrConverter::convert(const DecodedFrame& decoded, const cv::Rect& roi, cv::Mat& out) {
  const Picture* picture = decoded.picture();
  if (picture == nullptr || picture->frame == nullptr) throw ValueError("no decoded frame to convert");
  const AVFrame* f = picture->frame;
  const auto format = static_cast<AVPixelFormat>(f->format);
  const int width = f->width, height = f->height;
  const int rotation = picture->rotation;

  // The capture's unscaled YUV 4:2:0 / 4:2:2 to BGR conversion treats every
  // pixel on its own (with the chroma sample of its pair of columns, and of
  // its pair of rows for 4:2:0), so a region starting on an even column and
  // row, of even height, converts to the same pixels as the whole frame. Any
  // other case converts what the capture converts and cuts the region out.
  const bool by_region = rotation % 360 == 0 && (height % 2) == 0 && picture->coded_height % 2 == 0 &&
                         (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUV422P);
  int src_x = 0, src_y = 0, conv_w = 0, conv_h = 0;
  if (by_region) {
    src_x = roi.x & ~7;
    src_y = roi.y & ~1;
    conv_w = std::min(((roi.x + roi.width - src_x) + 7) & ~7, width - src_x);
    conv_h = std::min(((roi.y + roi.height - src_y) + 1) & ~1, height - src_y);
  } else {
    conv_w = std::max(picture->coded_width, width);
    conv_h = std::max(picture->coded_height, height);
  }
  sws_ = sws_getCachedContext(sws_, conv_w, conv_h, format, conv_w, conv_h, AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr,
                              nullptr, nullptr);
  if (sws_ == nullptr)
    throw OSError(std::string("cannot convert frames of pixel format ") +
                  (av_get_pix_fmt_name(format) ? av_get_pix_fmt_name(format) : "unknown") + " to BGR");
  // Room for the converter's whole blocks of 8 pixels at the end of a row.
  const int buffer_w = ((conv_w + 7) & ~7) + 8;
  buffer_.create(conv_h, buffer_w, CV_8UC3);

  const uint8_t* src[4] = {nullptr, nullptr, nullptr, nullptr};
  int src_stride[4] = {0, 0, 0, 0};
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  for (int p = 0; p < 4 && f->data[p] != nullptr; ++p) {
    const bool chroma = (p == 1 || p == 2) && desc != nullptr;
    const int dx = chroma ? (src_x >> desc->log2_chroma_w) : src_x;
    const int dy = chroma ? (src_y >> desc->log2_chroma_h) : src_y;
    src[p] = f->data[p] + static_cast<ptrdiff_t>(dy) * f->linesize[p] + dx;
    src_stride[p] = f->linesize[p];
  }
  uint8_t* dst[4] = {buffer_.data, nullptr, nullptr, nullptr};
  int dst_stride[4] = {static_cast<int>(buffer_.step[0]), 0, 0, 0};
  sws_scale(sws_, src, src_stride, 0, conv_h, dst, dst_stride);

  if (by_region) {
    out = buffer_(cv::Rect(roi.x - src_x, roi.y - src_y, roi.width, roi.height));
    return;
  }
  cv::Mat visible = buffer_(cv::Rect(0, 0, width, height));
  if (rotation % 360 != 0) {
    cv::Mat turned;
    if (rotation == 90 || rotation == -270) {
      cv::rotate(visible, turned, cv::ROTATE_90_CLOCKWISE);
    } else if (rotation == 270 || rotation == -90) {
      cv::rotate(visible, turned, cv::ROTATE_90_COUNTERCLOCKWISE);
    } else if (rotation == 180 || rotation == -180) {
      cv::rotate(visible, turned, cv::ROTATE_180);
    } else {
      turned = visible;
    }
    out = turned(roi);
    return;
  }
  out = visible(roi);
}

class LibavDecoder final : public VideoDecoder {
 public:
  explicit LibavDecoder(const std::string& path);
  ~LibavDecoder() override;
  LibavDecoder(const LibavDecoder&) = delete;
  LibavDecoder& operator=(const LibavDecoder&) = delete;

  bool do_is_open() const noexcept override { return st != nullptr; }
  double do_fps() const noexcept override { return st != nullptr ? stream_fps() : 0.0; }
  int64_t do_frame_count() const noexcept override { return st != nullptr ? total_frames() : 0; }
  void do_seek(int64_t frame_number, Failure& failure) noexcept override {
    if (st != nullptr) guarded(failure, [&] { seek_to(frame_number); });
  }
  bool do_grab(Failure& failure) noexcept override {
    return st != nullptr && guarded(failure, [&] { return grab_next(); });
  }
  DecodedFrame do_frame(Failure& failure) const noexcept override {
    return guarded(failure, [&] { return current_frame(); });
  }

 private:
  DecodedFrame current_frame() const;

  AVFormatContext* ic = nullptr;
  AVCodecContext* ctx = nullptr;
  AVStream* st = nullptr;
  int stream = -1;
  AVFrame* picture = nullptr;
  AVPacket* packet = nullptr;
  int64_t picture_pts = AV_NOPTS_VALUE;
  int64_t frame_number = 0;
  int64_t first_frame_number = -1;
  int rotation = 0;

  double stream_fps() const {
    double f = r2d(st->avg_frame_rate);
    if (f < kEpsZero) f = r2d(st->r_frame_rate);
    if (f < kEpsZero) f = 1.0 / r2d(ctx->time_base);
    return f;
  }

  double duration_sec() const {
    double sec = static_cast<double>(ic->duration) / AV_TIME_BASE;
    if (sec < kEpsZero) sec = static_cast<double>(st->duration) * r2d(st->time_base);
    return sec;
  }

  int64_t total_frames() const {
    int64_t n = st->nb_frames;
    if (n == 0) {
      const double v = std::floor(duration_sec() * stream_fps() + 0.5);
      n = std::isfinite(v) && std::fabs(v) < 9.0e18 ? static_cast<int64_t>(v) : 0;
    }
    return n;
  }

  double dts_to_sec(int64_t dts) const {
    const int64_t start = st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time;
    return (static_cast<double>(dts) - static_cast<double>(start)) * r2d(st->time_base);
  }

  int64_t dts_to_frame_number(int64_t dts) const {
    const double v = stream_fps() * dts_to_sec(dts) + 0.5;
    // A missing time stamp gives a huge negative number, never a valid index.
    if (!(std::fabs(v) < 9.0e18)) return v > 0 ? INT64_MAX / 2 : INT64_MIN / 2;
    return static_cast<int64_t>(v);
  }

  bool grab_next() {
    constexpr size_t max_read_attempts = 4096, max_decode_attempts = 64;
    size_t read_attempts = 0, decode_attempts = 0;
    if (st->nb_frames > 0 && frame_number > st->nb_frames) return false;
    picture_pts = AV_NOPTS_VALUE;
    bool valid = avcodec_receive_frame(ctx, picture) >= 0;
    while (!valid) {
      av_packet_unref(packet);
      int ret = av_read_frame(ic, packet);
      if (ret == AVERROR(EAGAIN)) continue;
      if (ret < 0) {
        // End of file (or an unreadable rest): drain the decoder's delayed frames.
        av_packet_unref(packet);
        packet->data = nullptr;
        packet->size = 0;
        packet->stream_index = stream;
      }
      if (packet->stream_index != stream) {
        av_packet_unref(packet);
        if (++read_attempts > max_read_attempts) break;
        continue;
      }
      if (avcodec_send_packet(ctx, packet) < 0) break;
      ret = avcodec_receive_frame(ctx, picture);
      if (ret >= 0) {
        valid = true;
      } else if (ret == AVERROR(EAGAIN)) {
        continue;
      } else if (++decode_attempts > max_decode_attempts) {
        break;
      }
    }
    if (valid) {
      if (picture_pts == AV_NOPTS_VALUE)
        picture_pts = picture->pts != AV_NOPTS_VALUE && picture->pts != 0 ? picture->pts : picture->pkt_dts;
      ++frame_number;
      if (first_frame_number < 0) first_frame_number = dts_to_frame_number(picture_pts);
    }
    return valid;
  }

  void seek_to(int64_t target) {
    target = std::min(target, total_frames());
    int64_t delta = 16;
    if (first_frame_number < 0 && total_frames() > 1) grab_next();
    for (;;) {
      const int64_t from = std::max<int64_t>(target - delta, 0);
      const double sec = static_cast<double>(from) / stream_fps();
      int64_t time_stamp = st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time;
      const double offset = sec / r2d(st->time_base) + 0.5;
      if (std::isfinite(offset) && std::fabs(offset) < 9.0e18) time_stamp += static_cast<int64_t>(offset);
      if (total_frames() > 1) av_seek_frame(ic, stream, time_stamp, AVSEEK_FLAG_BACKWARD);
      avcodec_flush_buffers(ctx);
      if (target <= 0) {
        frame_number = 0;
        break;
      }
      grab_next();
      if (target == 1) {
        frame_number = 1;
        break;
      }
      frame_number = dts_to_frame_number(picture_pts) - first_frame_number;
      if (frame_number < 0 || frame_number > target - 1) {
        if (from == 0 || delta >= INT_MAX / 4) break;
        delta = delta < 16 ? delta * 2 : delta * 3 / 2;
        continue;
      }
      while (frame_number < target - 1)
        if (!grab_next()) break;
      ++frame_number;
      break;
    }
  }
};

LibavDecoder::LibavDecoder(const std::string& path) {
  // Damaged streams make the decoders chatty; like the capture, only errors
  // reach the console.
  static std::once_flag quiet;
  std::call_once(quiet, [] { av_log_set_level(AV_LOG_ERROR); });
  if (avformat_open_input(&ic, path.c_str(), nullptr, nullptr) < 0) return;
  if (avformat_find_stream_info(ic, nullptr) < 0) {
    avformat_close_input(&ic);
    return;
  }
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    AVStream* s = ic->streams[i];
    if (s->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    const AVCodec* codec = avcodec_find_decoder(s->codecpar->codec_id);
    if (codec == nullptr) break;
    ctx = avcodec_alloc_context3(codec);
    if (ctx == nullptr || avcodec_parameters_to_context(ctx, s->codecpar) < 0) break;
    ctx->thread_count = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 16u));
    if (avcodec_open2(ctx, codec, nullptr) < 0) break;
    st = s;
    stream = static_cast<int>(i);
    rotation = rotation_of(s);
    break;
  }
  picture = av_frame_alloc();
  packet = av_packet_alloc();
  if (st == nullptr || picture == nullptr || packet == nullptr) {
    st = nullptr;
    avcodec_free_context(&ctx);
    avformat_close_input(&ic);
  }
}

LibavDecoder::~LibavDecoder() {
  av_packet_free(&packet);
  av_frame_free(&picture);
  avcodec_free_context(&ctx);
  avformat_close_input(&ic);
}

DecodedFrame LibavDecoder::current_frame() const {
  if (st == nullptr || picture->data[0] == nullptr) return {};
  auto shared = std::make_shared<Picture>();
  shared->frame = av_frame_clone(picture);
  if (shared->frame == nullptr) throw std::bad_alloc();
  shared->coded_width = ctx->coded_width;
  shared->coded_height = ctx->coded_height;
  shared->rotation = rotation;
  const bool turned = quarter_turn(rotation);
  const int width = turned ? picture->height : picture->width;
  const int height = turned ? picture->width : picture->height;
  return DecodedFrame(std::move(shared), width, height);
}

}  // namespace

std::unique_ptr<VideoDecoder> open_libav_video(const std::string& path) { return std::make_unique<LibavDecoder>(path); }

std::unique_ptr<FrameConverter> make_bgr_converter() { return std::make_unique<BgrConverter>(); }

}  // namespace mirelo::media
