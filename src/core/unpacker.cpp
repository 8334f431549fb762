#include "core/unpacker.h"

Unpacker::~Unpacker() = default;
