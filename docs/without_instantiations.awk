# The headers as the API reference reads them: without the explicit
# instantiations for the default custom type, which are how the library is
# built rather than something to call. Each becomes blank lines, so that the
# reference's line numbers stay those of the header.
/^PROGRESSBAR_EXTERN_TEMPLATE/ { skip = 1 }
{ print skip ? "" : $0 }
skip && /;/ { skip = 0 }
