header
%
#1=2
PRINT "a;b=";#1
SKIP done
G0 X=(1+2)*#1
IF #1<3 THEN
G1 X=SIN(1) F100
ENDIF
done
(a comment
over lines)G0 X1
M30
bore
G0 Y1
M99
