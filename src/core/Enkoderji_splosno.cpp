#include "core/Enkoderji_splosno.h"

TEncoderSignature EncoderSignature;
TEncoderPosition EncoderPosition;
std::int32_t DetailedStatus = 0;
