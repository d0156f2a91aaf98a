<?xml version="1.0" encoding="utf-8"?>
<!-- Turns the tester's TestRun document (in no namespace or in any other;
     elements are matched by local name) into the result document of
     SaveResult.xsd: TestRun becomes sr:TestResult, DUT, Step and
     Measurement become DUT, STEP and MEASUREMENT with upper-case attributes.
     Only attributes the tester wrote are copied, so a DUT without ID or
     STATUS fails validation instead of being stored half known. -->
<xsl:stylesheet version="1.0"
                xmlns:xsl="http://www.w3.org/1999/XSL/Transform"
                xmlns:sr="urn:SaveResult-schema">
  <xsl:output method="xml" encoding="utf-8" omit-xml-declaration="yes" indent="no"/>
  <xsl:strip-space elements="*"/>

  <xsl:template match="/">
    <xsl:apply-templates select="*"/>
  </xsl:template>

  <!-- Every element comes here and is dispatched on its local name. (A
       pattern such as *[local-name()='Step'] makes libxslt count an
       element's preceding siblings, which is quadratic in a unit with many
       steps.) Other elements pass their children on, as the built-in rule
       does. -->
  <xsl:template match="*">
    <xsl:choose>
      <xsl:when test="local-name()='TestRun'"><xsl:call-template name="TestRun"/></xsl:when>
      <xsl:when test="local-name()='DUT'"><xsl:call-template name="DUT"/></xsl:when>
      <xsl:when test="local-name()='Step'"><xsl:call-template name="Step"/></xsl:when>
      <xsl:when test="local-name()='Measurement'"><xsl:call-template name="Measurement"/></xsl:when>
      <xsl:otherwise><xsl:apply-templates/></xsl:otherwise>
    </xsl:choose>
  </xsl:template>

  <xsl:template name="TestRun">
    <sr:TestResult>
      <xsl:call-template name="copy">
        <xsl:with-param name="from" select="@Station"/><xsl:with-param name="to" select="'STATION'"/>
      </xsl:call-template>
      <xsl:call-template name="copy">
        <xsl:with-param name="from" select="@Operator"/><xsl:with-param name="to" select="'OPERATOR'"/>
      </xsl:call-template>
      <xsl:call-template name="copy">
        <xsl:with-param name="from" select="@Program"/><xsl:with-param name="to" select="'PROGRAM'"/>
      </xsl:call-template>
      <xsl:call-template name="copy">
        <xsl:with-param name="from" select="@ProgramVersion"/><xsl:with-param name="to" select="'VERSION'"/>
      </xsl:call-template>
      <xsl:call-template name="copy">
        <xsl:with-param name="from" select="@Fixture"/><xsl:with-param name="to" select="'FIXTURE'"/>
      </xsl:call-template>
      <xsl:call-template name="copy">
        <xsl:with-param name="from" select="@Start"/><xsl:with-param name="to" select="'START'"/>
      </xsl:call-template>
      <xsl:call-template name="copy">
        <xsl:with-param name="from" select="@End"/><xsl:with-param name="to" select="'END'"/>
      </xsl:call-template>
      <xsl:apply-templates select="*[local-name()='DUT']"/>
    </sr:TestResult>
  </xsl:template>

  <xsl:template name="DUT">
    <DUT>
      <xsl:call-template name="copy">
        <xsl:with-param name="from" select="@ID"/><xsl:with-param name="to" select="'ID'"/>
      </xsl:call-template>
      <xsl:call-template name="copy">
        <xsl:with-param name="from" select="@STATUS"/><xsl:with-param name="to" select="'STATUS'"/>
      </xsl:call-template>
      <xsl:call-template name="copy">
        <xsl:with-param name="from" select="@PartNumber"/><xsl:with-param name="to" select="'PARTNUMBER'"/>
      </xsl:call-template>
      <xsl:call-template name="copy">
        <xsl:with-param name="from" select="@Revision"/><xsl:with-param name="to" select="'REVISION'"/>
      </xsl:call-template>
      <xsl:call-template name="copy">
        <xsl:with-param name="from" select="@Slot"/><xsl:with-param name="to" select="'SLOT'"/>
      </xsl:call-template>
      <xsl:apply-templates select="*[local-name()='Step']"/>
    </DUT>
  </xsl:template>

  <xsl:template name="Step">
    <STEP>
      <xsl:call-template name="copy">
        <xsl:with-param name="from" select="@Name"/><xsl:with-param name="to" select="'NAME'"/>
      </xsl:call-template>
      <xsl:call-template name="copy">
        <xsl:with-param name="from" select="@Status"/><xsl:with-param name="to" select="'STATUS'"/>
      </xsl:call-template>
      <xsl:call-template name="copy">
        <xsl:with-param name="from" select="@Duration"/><xsl:with-param name="to" select="'DURATION'"/>
      </xsl:call-template>
      <xsl:apply-templates select="*[local-name()='Measurement']"/>
    </STEP>
  </xsl:template>

  <xsl:template name="Measurement">
    <MEASUREMENT>
      <xsl:call-template name="copy">
        <xsl:with-param name="from" select="@Name"/><xsl:with-param name="to" select="'NAME'"/>
      </xsl:call-template>
      <xsl:call-template name="copy">
        <xsl:with-param name="from" select="@Value"/><xsl:with-param name="to" select="'VALUE'"/>
      </xsl:call-template>
      <xsl:call-template name="copy">
        <xsl:with-param name="from" select="@Unit"/><xsl:with-param name="to" select="'UNIT'"/>
      </xsl:call-template>
      <xsl:call-template name="copy">
        <xsl:with-param name="from" select="@Low"/><xsl:with-param name="to" select="'LOW'"/>
      </xsl:call-template>
      <xsl:call-template name="copy">
        <xsl:with-param name="from" select="@High"/><xsl:with-param name="to" select="'HIGH'"/>
      </xsl:call-template>
      <xsl:call-template name="copy">
        <xsl:with-param name="from" select="@Status"/><xsl:with-param name="to" select="'STATUS'"/>
      </xsl:call-template>
    </MEASUREMENT>
  </xsl:template>

  <!-- The attribute `from`, when the tester wrote it, under the name `to`. -->
  <xsl:template name="copy">
    <xsl:param name="from"/>
    <xsl:param name="to"/>
    <xsl:if test="$from">
      <xsl:attribute name="{$to}"><xsl:value-of select="$from"/></xsl:attribute>
    </xsl:if>
  </xsl:template>

  <!-- Anything else of the tester's (comments, notes) is left out. -->
  <xsl:template match="text()|comment()|processing-instruction()"/>
</xsl:stylesheet>
