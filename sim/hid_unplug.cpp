#include "hid_unplug.h"

namespace {

class UnpluggingDevice : public VirtualHidDevice {
 public:
  UnpluggingDevice(std::shared_ptr<VirtualHidDevice> inner, long reports) : inner_(std::move(inner)), left_(reports) {
    info = inner_->info;
    refuse_open = inner_->refuse_open;
    in_use = inner_->in_use;
    unplugged = left_ <= 0;
  }

  int output_report(const uint8_t* data, size_t length) override { return carried(inner_->output_report(data, length)); }
  int input_report(uint8_t* buffer, size_t length, int timeout_ms) override {
    return carried(inner_->input_report(buffer, length, timeout_ms));
  }
  int set_feature(const uint8_t* data, size_t length) override { return carried(inner_->set_feature(data, length)); }
  int get_feature(uint8_t* buffer, size_t length) override { return carried(inner_->get_feature(buffer, length)); }
  void opened() override {
    ++inner_->open_count;
    inner_->opened();
  }
  void closed() override {
    --inner_->open_count;
    inner_->closed();
  }

 private:
  int carried(int result) {
    if (result > 0 && --left_ == 0) unplugged = true;
    return result;
  }

  std::shared_ptr<VirtualHidDevice> inner_;
  long left_;
};

}  // namespace

std::shared_ptr<VirtualHidDevice> unplug_after_reports(std::shared_ptr<VirtualHidDevice> device, long reports) {
  return std::make_shared<UnpluggingDevice>(std::move(device), reports);
}
