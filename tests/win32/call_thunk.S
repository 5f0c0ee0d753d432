/*
 * call_thunk.S - calls a 32-bit Windows function and checks its side of the
 * stdcall contract.
 *
 *   void trv_checked_call(const void* fn, const uint32_t* args, uint32_t nargs,
 *                         uint32_t skew, TrvCallReport* report);   (cdecl)
 *
 * Pushes args[nargs-1] .. args[0] (so args[0] is the first parameter), with
 * the stack pointer at the call instruction 16-byte aligned minus skew
 * (0, 4, 8 or 12: Windows callers only promise 4-byte alignment), and calls
 * fn with sentinels in the callee-saved registers EBX, ESI and EDI.
 * Afterwards report receives:
 *   eax     the callee's EAX (the return value),
 *   popped  how many bytes the callee removed from the stack (stdcall:
 *           4 per argument; a cdecl function would remove none),
 *   broken  a bit per rule the callee broke: 1 EBX, 2 ESI, 4 EDI changed;
 *           8 x87 control word changed; 16 MXCSR control bits changed;
 *           32 direction flag left set; 64 x87 register stack not empty.
 * EBP must survive as well; if it does not, the thunk cannot return.
 *
 *   uint32_t trv_thunk_probe_bad(uint32_t x);   (stdcall, declared @4)
 *
 * A callee that breaks the contract on purpose, for the thunk's own test:
 * returns x but removes 8 bytes, changes EBX, ESI and EDI, leaves the
 * direction flag set, and flips the rounding mode in the x87 control word
 * and in MXCSR.
 */
    .text
    .p2align 4
    .globl _trv_checked_call
    .def _trv_checked_call; .scl 2; .type 32; .endef
_trv_checked_call:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    subl $16, %esp
    /* -16(%ebp) x87 control word, -20(%ebp) MXCSR, -24(%ebp) stack
     * pointer at the call, -28(%ebp) scratch. */
    movl $0, -16(%ebp)
    fnstcw -16(%ebp)
    stmxcsr -20(%ebp)

    movl 12(%ebp), %esi          /* args */
    movl 16(%ebp), %ecx          /* nargs */
    leal 0(,%ecx,4), %edx        /* argument bytes */
    movl %esp, %eax
    subl %edx, %eax
    andl $-16, %eax
    subl 20(%ebp), %eax          /* stack pointer wanted at the call */
    addl %edx, %eax
    movl %eax, %esp
1:  testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%esi,%ecx,4)
    jmp 1b
2:  movl %esp, -24(%ebp)
    movl 8(%ebp), %eax           /* fn */
    movl $0x5EB10CA1, %ebx
    movl $0x5E5105E1, %esi
    movl $0x5ED1ED11, %edi
    cld
    call *%eax

    movl 24(%ebp), %edx          /* report */
    movl %eax, 0(%edx)
    movl %esp, %eax
    subl -24(%ebp), %eax
    movl %eax, 4(%edx)
    xorl %ecx, %ecx
    cmpl $0x5EB10CA1, %ebx
    je 3f
    orl $1, %ecx
3:  cmpl $0x5E5105E1, %esi
    je 4f
    orl $2, %ecx
4:  cmpl $0x5ED1ED11, %edi
    je 5f
    orl $4, %ecx
5:  movl $0, -28(%ebp)
    fnstcw -28(%ebp)
    movl -28(%ebp), %eax
    cmpl -16(%ebp), %eax
    je 6f
    orl $8, %ecx
6:  stmxcsr -28(%ebp)
    movl -28(%ebp), %eax
    xorl -20(%ebp), %eax
    andl $0xFFC0, %eax           /* exception flags (bits 0-5) are sticky */
    jz 7f
    orl $16, %ecx
7:  pushfl
    popl %eax
    testl $0x400, %eax
    jz 8f
    orl $32, %ecx
    cld
8:  fnstsw %ax
    testw $0x3800, %ax           /* TOP of the x87 register stack */
    jz 9f
    orl $64, %ecx
9:  movl %ecx, 8(%edx)

    /* Put the caller's floating-point control back in case the callee
     * broke it, so that one bad call does not spoil the calls after it. */
    fldcw -16(%ebp)
    ldmxcsr -20(%ebp)
    leal -12(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret

    .p2align 4
    .globl _trv_thunk_probe_bad@4
    .def _trv_thunk_probe_bad@4; .scl 2; .type 32; .endef
_trv_thunk_probe_bad@4:
    movl 4(%esp), %eax
    movl $1, %ebx
    movl $2, %esi
    movl $3, %edi
    subl $4, %esp
    fnstcw (%esp)
    xorl $0x0C00, (%esp)
    fldcw (%esp)
    stmxcsr (%esp)
    xorl $0x6000, (%esp)
    ldmxcsr (%esp)
    addl $4, %esp
    std
    ret $8
