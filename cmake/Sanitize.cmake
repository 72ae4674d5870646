# ULMOT_SANITIZE=address,undefined (or thread) builds everything, tests
# included, under those sanitizers. UBSan findings are made fatal so that a
# test run fails on them.
if(ULMOT_SANITIZE)
  set(_san -fsanitize=${ULMOT_SANITIZE} -fno-omit-frame-pointer)
  if(ULMOT_SANITIZE MATCHES "undefined")
    list(APPEND _san -fno-sanitize-recover=undefined)
  endif()
  add_compile_options(${_san} -g)
  add_link_options(${_san})
  message(STATUS "ulmot: sanitizers ${ULMOT_SANITIZE}")
endif()
