#pragma once
// The catalogue of one scenario file, as the information page lists it.

struct task_preview_load_result {
};
