# The memory window and one control request through the whole stack against
# the emulated controller (runs under the emulation).
tyvo_bench(bench_camera_window
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_camera_window.cpp
  LIBS tyvo_camera tyvo_sim
  EMULATED
)
