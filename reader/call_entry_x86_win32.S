/* int vellicor_call_entry_x86(int (*entry)(unsigned char*), unsigned char* idserial)
 *
 * Calls entry(idserial) and returns what it returned. Vendors' builds of the
 * entry point are either __stdcall, which pops its argument, or __cdecl,
 * which leaves it to the caller; a call through a C++ function pointer must
 * assume one of them and corrupts the stack with the other. Here the stack
 * pointer is restored from the frame pointer after the call, so either kind
 * returns to an intact stack. Both conventions preserve EBP, EBX, ESI and EDI.
 */
    .text
    .globl  _vellicor_call_entry_x86
    .def    _vellicor_call_entry_x86; .scl 2; .type 32; .endef
    .p2align 4
_vellicor_call_entry_x86:
    pushl   %ebp
    movl    %esp, %ebp
    pushl   12(%ebp)        /* idserial */
    call    *8(%ebp)        /* entry; its result stays in EAX */
    movl    %ebp, %esp      /* drops the argument if the callee did not */
    popl    %ebp
    ret
