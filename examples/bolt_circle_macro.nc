%
(Bolt circle: holes on a circle, peck drilled through CALLs of the library)
(examples/macros/cycles.txt. The hole positions come from turning the)
(vector #510, #511 by 360/n degrees each pass: no trigonometry needed.)
(Work zero: centre of the circle, top face - G54.)
G90 G21 G17 G54
(Radius, depth, number of holes and the cosine and sine of 60 degrees)
#20=30
#21=-6
#22=6
#23=0.5
#24=0.866025
#510=#20
#511=0
#512=0
PRINT %2;"Bolt circle R";#20;" with ";#22;" holes"
S12000 M3
G0 Z2
REPEAT=#22
G0 X=#510 Y=#511
#1=#21
#2=2.5
#3=2
CALL "peck@cycles.txt"
IF #510>0.001 THEN
(Holes on the right half get a chamfer.)
#1=3
#10=#510
#11=#511
CALL "chamfer@cycles.txt"
ENDIF
#1=#23
#2=#24
CALL "rotate@cycles.txt"
NEXT
G0 Z10
M5
PRINT "Done: ";#512;" pecks"
M30
