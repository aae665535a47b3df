#include "motion/motionstream.h"

MotionStream::~MotionStream() = default;
void MotionStream::BeginMotion() {}
void MotionStream::CheckMayMove() {}
void MotionStream::CheckBreak() {}
bool MotionStream::Home(int32_t, bool, Coordinates&) { return false; }
void MotionStream::Pause(int32_t) {}
void MotionStream::SetOutput(int32_t, bool, bool) {}
void MotionStream::SpindleChanged(bool, bool, double) {}
void MotionStream::ArmStopCondition(const Condition*) {}
bool MotionStream::SwitchThc(bool, double, double, double, bool) { return false; }
void MotionStream::ThcNominalVelocity(double) {}
void MotionStream::WatchArc(bool) {}
