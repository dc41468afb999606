# Fails when a file of a lower module includes a header of a higher one. The modules, from the
# ground up: the ground (base: clock, tasks and waits, the status view; logs), store, switcher,
# uploads, scheduler, engine, web (the console), ui. Arrows point down only.
#   cmake -DSRC=<repo>/src -P layers.cmake
set(order base logs store switcher uploads scheduler engine web ui)
file(GLOB_RECURSE files RELATIVE ${SRC} ${SRC}/*.h ${SRC}/*.cpp)
set(faults "")
foreach(f ${files})
  string(REGEX MATCH "^[^/]+" module ${f})
  list(FIND order ${module} rank)
  if(rank EQUAL -1)
    string(APPEND faults "  ${f}: not in a known module\n")
    continue()
  endif()
  file(STRINGS ${SRC}/${f} includes REGEX "^#include \"[^/\"]+/")
  foreach(line ${includes})
    string(REGEX REPLACE "^#include \"([^/\"]+)/.*" "\\1" target ${line})
    list(FIND order ${target} targetRank)
    if(targetRank GREATER rank)
      string(APPEND faults "  ${f} includes ${target}/ (above ${module}/)\n")
    endif()
  endforeach()
endforeach()
if(faults)
  message(FATAL_ERROR "Lower modules include higher ones:\n${faults}")
endif()

# A wait is a suspended run, never a loop inside the loop: no nested event loop anywhere, nor
# the static dialog helpers that run one until they are answered (dialogs are opened with open()).
set(loops "")
set(helpers "QFileDialog::get[A-Za-z]+|QMessageBox::(information|warning|critical|question|about)"
  "|QInputDialog::get[A-Za-z]+|QColorDialog::getColor|QFontDialog::getFont")
string(JOIN "" helpers ${helpers})
foreach(f ${files})
  file(STRINGS ${SRC}/${f} hits REGEX "QEventLoop|processEvents|\\.exec\\(\\)|->exec\\(\\)|${helpers}")
  foreach(line ${hits})
    string(APPEND loops "  ${f}: ${line}\n")
  endforeach()
endforeach()
if(loops)
  message(FATAL_ERROR "Nested event loops:\n${loops}")
endif()
