// The emulated unit grows here.
namespace vexlor::emulator {}
